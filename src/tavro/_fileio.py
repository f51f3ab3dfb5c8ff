"""Atomic file writes: a reader sees the old file or the new one, never a mix;
files that belong together (a model and its data, a script and its arrays)
are replaced together.

``write_text_atomic`` and ``write_bytes_atomic`` replace one file;
``write_files_atomic`` replaces several, and ``replaced_together`` gives a
block temporary paths to fill and renames them over their targets when the
block ends normally:

    write_files_atomic({"m.mod": model_code, "m.dat": data_code})
    with replaced_together(["m.mod", "m.dat"]) as (model_tmp, data_tmp):
        ...  # write model_tmp and data_tmp with any writer

The new content goes to a temporary file in the target's folder, is flushed
and fsynced, and then renamed over the target, so a kill, a full disk or a
file-size limit leaves the previous file whole. With several files, every
temporary is complete before the first rename, and a failure before that
removes them all and leaves every target as it was. Temporary files are
named ``.NAME.PID.XXXXXXXX.tmp`` (the writer's process id and eight random
characters); one that a killed writer left behind is removed by the next
write to the same target once its writer is gone.

Differences from ``open(path, "w")``, all deliberate:

* a symbolic link is written through to its target (the link stays), as
  ``open`` does; a hard link is not: the other names keep the old content;
* an existing file keeps its permission bits (and, where allowed, its owner);
* a target that exists but is not a regular file (``/dev/null``, a FIFO) is
  written in place, as ``open`` would: it cannot be replaced;
* a writable file in a folder where no new file may be created is written in
  place too (nothing better is possible there).
"""

from __future__ import annotations

import contextlib
import errno
import os
import re
import secrets
import shutil
import stat
import tempfile
import time
from typing import IO, Any, Callable, Iterator, Mapping, Sequence, Union

__all__ = ["write_text_atomic", "write_bytes_atomic", "write_files_atomic", "replaced_together"]

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Content = Union[str, bytes, bytearray, memoryview]

# Keeps the temporary name within NAME_MAX (255) whatever the target's length.
_PREFIX_CHARS = 100
# A temporary without a writer's process id (written by an older version) is
# stale once it has not changed for this long.
_STALE_SECONDS = 30.0
# A temporary whose process id is alive is still removed after this long
# (the id was reused).
_ABANDONED_SECONDS = 86400.0


def _display(path: PathArg) -> str:
    return os.fsdecode(os.fspath(path))


def _target(path: PathArg) -> str:
    """The file a write to ``path`` lands in: symbolic links followed as
    open() follows them (a dangling link names the file it would create)."""
    name = _display(path)
    if not os.path.islink(name):
        return name
    try:
        return os.path.realpath(name, strict=True)
    except FileNotFoundError:
        return os.path.realpath(name)
    # A link loop raises OSError (ELOOP), as open() would.


def _new_file_mode() -> int:
    """0o666 less the process umask, read without changing it where possible."""
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return 0o666 & ~int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    umask = os.umask(0o022)
    os.umask(umask)
    return 0o666 & ~umask


# -- temporaries left behind ------------------------------------------------------

def _temp_prefix(name: str) -> str:
    return ".%s.%d." % (name[:_PREFIX_CHARS], os.getpid())


def _stale_pattern(name: str) -> re.Pattern[str]:
    """Our temporaries of a target called ``name``: ``.NAME.PID.XXXXXXXX.tmp``,
    the temporary of writing such a file (``..NAME.PID.X.tmp.PID.X.tmp``) and
    ``.NAME.XXXXXXXX.tmp`` (no process id: an older version's)."""
    stem = re.escape(name[:_PREFIX_CHARS])
    tail = r"\.(\d+)\.[a-z0-9_]{8}\.tmp"
    return re.compile(r"\.(?:%s%s|\.%s%s%s|%s\.[a-z0-9_]{8}\.tmp)\Z" % (stem, tail, stem, tail, tail, stem))


def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError, ValueError):
        return pid > 0
    return True


def _is_stale(match: re.Match[str], age: float) -> bool:
    pids = [int(p) for p in match.groups() if p is not None]
    if not pids:
        return age > _STALE_SECONDS
    if age > _ABANDONED_SECONDS:
        return True
    return not any(pid == os.getpid() or _pid_alive(pid) for pid in pids)


def _clean_stale(target: str) -> None:
    """Removes the temporaries of ``target`` that a killed writer left: only
    files of our own pattern for that name whose writer is gone (or, without
    a process id, that are older than a few seconds)."""
    folder, name = os.path.split(target)
    pattern = _stale_pattern(name)
    now = time.time()
    try:
        with os.scandir(folder or ".") as entries:
            for entry in entries:
                match = pattern.match(entry.name)
                if match is None:
                    continue
                try:
                    st = entry.stat(follow_symlinks=False)
                    if stat.S_ISREG(st.st_mode) and _is_stale(match, now - st.st_mtime):
                        os.unlink(entry.path)
                except OSError:
                    pass
    except OSError:
        pass


# -- one target ---------------------------------------------------------------------

class _Slot:
    """One target of a write: where it lands, what was there, and the
    temporary file that will replace it."""

    def __init__(self, path: PathArg) -> None:
        self.path = _display(path)
        self.target = _target(path)
        try:
            self.st: os.stat_result | None = os.stat(self.target)
        except FileNotFoundError:
            self.st = None
        # Written in place at commit time: a device or FIFO, or a folder
        # where no new file may be created.
        self.in_place = False
        self.temp: str | None = None
        if self.st is not None:
            if stat.S_ISDIR(self.st.st_mode):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.path)
            if not stat.S_ISREG(self.st.st_mode):
                self.in_place = True
            elif not os.access(self.target, os.W_OK):
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), self.path)

    @property
    def folder(self) -> str:
        return os.path.dirname(self.target) or "."

    def open_temp(self) -> int | None:
        """A new temporary file beside the target (its descriptor), with the
        target's permission bits; None when the target is written in place."""
        if self.in_place:
            return None
        _clean_stale(self.target)
        name = os.path.basename(self.target)
        try:
            fd, self.temp = tempfile.mkstemp(dir=self.folder, prefix=_temp_prefix(name), suffix=".tmp")
        except PermissionError:
            if self.st is None:
                raise
            self.in_place = True
            return None
        try:
            self._adopt_mode(fd)
        except BaseException:
            os.close(fd)
            raise
        return fd

    def reserve_temp(self) -> str:
        """A temporary path for a caller to create (nothing is created): beside
        the target, or in a private folder when the target is written in place."""
        name = os.path.basename(self.target)
        if not self.in_place and self.st is not None:
            try:  # can a new file be created beside the target?
                fd, probe = tempfile.mkstemp(dir=self.folder, prefix=_temp_prefix(name), suffix=".tmp")
                os.close(fd)
                os.unlink(probe)
            except PermissionError:
                self.in_place = True
        if self.in_place:
            self.temp = os.path.join(tempfile.mkdtemp(prefix="tavro-"), name)
        else:
            if os.path.isdir(self.folder):
                _clean_stale(self.target)
            self.temp = os.path.join(os.path.dirname(self.target),
                                     "%s%s.tmp" % (_temp_prefix(name), secrets.token_hex(4)))
        return self.temp

    def _adopt_mode(self, fd: int) -> None:
        if self.st is None:
            os.fchmod(fd, _new_file_mode())
            return
        os.fchmod(fd, stat.S_IMODE(self.st.st_mode))
        if (self.st.st_uid, self.st.st_gid) != (os.getuid(), os.getgid()):
            try:
                os.fchown(fd, self.st.st_uid, self.st.st_gid)
            except OSError:
                pass

    def settle_temp(self) -> None:
        """A temporary a caller filled: the target's permission bits, and on disk."""
        assert self.temp is not None
        fd = os.open(self.temp, os.O_RDONLY)
        try:
            if self.st is not None and not self.in_place:
                self._adopt_mode(fd)
            os.fsync(fd)
        finally:
            os.close(fd)

    def discard(self) -> None:
        if self.temp is None:
            return
        try:
            os.unlink(self.temp)
        except OSError:
            pass
        if self.in_place:
            with contextlib.suppress(OSError):
                os.rmdir(os.path.dirname(self.temp))
        self.temp = None


def _slots(paths: Sequence[PathArg]) -> list[_Slot]:
    slots = [_Slot(p) for p in paths]
    seen: dict[str, str] = {}
    for slot in slots:
        key = os.path.realpath(slot.target)
        if key in seen:
            raise ValueError("%s and %s name the same file" % (seen[key], slot.path))
        seen[key] = slot.path
    return slots


def _sync_folder(folder: str) -> None:
    # Makes the rename itself durable; not every file system allows it.
    try:
        dfd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dfd)
    except OSError:
        pass
    finally:
        os.close(dfd)


def _rename_all(slots: Sequence[_Slot], in_place: Callable[[_Slot], None]) -> None:
    """Puts every complete temporary in place: the renames first, one after
    another, then the targets written in place."""
    for slot in slots:
        if slot.temp is not None and not slot.in_place:
            os.replace(slot.temp, slot.target)
            slot.temp = None
    for slot in slots:
        if slot.in_place:
            in_place(slot)
    for folder in dict.fromkeys(slot.folder for slot in slots):
        _sync_folder(folder)


# -- writing ----------------------------------------------------------------------

def _opener(content: Content, encoding: str | None) -> tuple[dict[str, Any], Callable[[IO[Any]], object]]:
    """The open() keywords and the write of one content, checked before any
    file is touched."""
    if isinstance(content, str):
        return {"mode": "w", "encoding": encoding}, lambda f: f.write(content)
    if isinstance(content, (bytes, bytearray, memoryview)):
        return {"mode": "wb"}, lambda f: f.write(content)
    raise TypeError("write() argument must be str or a bytes-like object, not %s" % type(content).__name__)


def _write_all(paths: Sequence[PathArg], openers: Sequence[tuple[dict[str, Any], Callable[[IO[Any]], object]]]
               ) -> None:
    slots = _slots(paths)
    pending: list[tuple[_Slot, dict[str, Any], Callable[[IO[Any]], object]]] = []
    try:
        for slot, (how, write) in zip(slots, openers):
            fd = slot.open_temp()
            if fd is None:
                pending.append((slot, how, write))
                continue
            try:
                with os.fdopen(fd, **how) as f:
                    write(f)
                    f.flush()
                    os.fsync(f.fileno())
            except OSError as e:
                if e.filename is None:  # a failed write names no file: name the target
                    raise OSError(e.errno, e.strerror, slot.path) from e
                raise
    except BaseException:
        for slot in slots:
            slot.discard()
        raise

    def in_place(slot: _Slot) -> None:
        for s, how, write in pending:
            if s is slot:
                with open(slot.target, **how) as f:
                    write(f)

    try:
        _rename_all(slots, in_place)
    finally:
        for slot in slots:
            slot.discard()


def read_text(path: PathArg, encoding: str | None = None) -> str:
    """The whole text of a file."""
    with open(path, encoding=encoding) as f:
        return f.read()


def write_bytes_atomic(path: PathArg, data: bytes | bytearray | memoryview) -> None:
    """Replace ``path`` with ``data`` (bytes-like): temporary file in the same
    folder, flush and fsync, then ``os.replace``. An existing file keeps its
    permission bits; on any failure the temporary file is removed and the
    old file is left as it was."""
    _write_all([path], [({"mode": "wb"}, lambda f: f.write(data))])


def write_text_atomic(path: PathArg, text: str, encoding: str | None = None) -> None:
    """``write_bytes_atomic`` for text, encoded exactly as ``open(path, "w")``
    would (the platform's default encoding unless one is named, strict
    errors, newline translation)."""
    if not isinstance(text, str):
        raise TypeError("write() argument must be str, not %s" % type(text).__name__)
    _write_all([path], [({"mode": "w", "encoding": encoding}, lambda f: f.write(text))])


def write_files_atomic(files: Mapping[PathArg, Content], encoding: str | None = None) -> None:
    """Replace several files that belong together: ``{path: content}``, str
    content written as ``write_text_atomic`` writes it (in ``encoding``),
    bytes-like content as is. Every content goes to a temporary file beside
    its target first; only when all are complete are they renamed into
    place, so a failure (a full disk, a size limit, an encoding error) leaves
    every target as it was. Two paths naming one file are a ValueError."""
    paths = list(files)
    openers = [_opener(files[p], encoding) for p in paths]
    _write_all(paths, openers)


@contextlib.contextmanager
def replaced_together(paths: Sequence[PathArg]) -> Iterator[list[str]]:
    """Temporary paths, one per target (nothing created yet), for the block
    to write with any writer. When the block ends normally, every temporary
    it wrote is fsynced and renamed over its target, the renames following
    each other once all are complete (a temporary the block did not write
    leaves its target as it was); when the block raises, the temporaries are
    removed and every target stays as it was."""
    slots = _slots(paths)
    try:
        temps = [slot.reserve_temp() for slot in slots]
        yield temps
        for slot in slots:
            if slot.temp is not None and not os.path.lexists(slot.temp):
                slot.discard()
            elif slot.temp is not None:
                slot.settle_temp()
    except BaseException:
        for slot in slots:
            slot.discard()
        raise

    def copy_in(slot: _Slot) -> None:
        if slot.temp is None:  # not written
            return
        with open(slot.temp, "rb") as src, open(slot.target, "wb") as dst:
            shutil.copyfileobj(src, dst)
        slot.discard()

    try:
        _rename_all(slots, copy_in)
    finally:
        for slot in slots:
            slot.discard()
