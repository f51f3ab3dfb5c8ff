"""Atomic file writes: a reader sees the old file or the new one, never a mix.

Every file the package writes (model and data files, emitted scripts,
recordings) goes through ``write_text_atomic`` or ``write_bytes_atomic``.

The new content goes to a temporary file in the target's folder, is flushed
and fsynced, and then renamed over the target, so a kill, a full disk or a
file-size limit leaves the previous file whole. Differences from
``open(path, "w")``, all deliberate:

* a symbolic link is written through to its target (the link stays), as
  ``open`` does; a hard link is not: the other names keep the old content;
* an existing file keeps its permission bits (and, where allowed, its owner);
* a target that exists but is not a regular file (``/dev/null``, a FIFO) is
  written in place, as ``open`` would: it cannot be replaced;
* a writable file in a folder where no new file may be created is written in
  place too (nothing better is possible there).
"""

from __future__ import annotations

import errno
import os
import stat
import tempfile
from collections.abc import Callable
from typing import IO, Any

# What a write is given: a path as open() takes it.
FilePath = str | bytes | os.PathLike[str] | os.PathLike[bytes]

__all__ = ["write_text_atomic", "write_bytes_atomic"]

# Keeps the temporary name within NAME_MAX (255) whatever the target's length.
_PREFIX_CHARS = 100


def _target(path: FilePath) -> str:
    """The file a write to ``path`` lands in: symbolic links followed as
    open() follows them (a dangling link names the file it would create)."""
    path = os.fsdecode(os.fspath(path))
    if not os.path.islink(path):
        return path
    try:
        return os.path.realpath(path, strict=True)
    except FileNotFoundError:
        return os.path.realpath(path)
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


def _write_in_place(target: str, how: dict[str, Any], write: Callable[[IO[Any]], object]) -> None:
    with open(target, **how) as f:
        write(f)


def _atomic(path: FilePath, how: dict[str, Any], write: Callable[[IO[Any]], object]) -> None:
    """Runs ``write(file)`` on a temporary file beside the target, opened
    with the ``open`` keywords ``how``, then renames it over the target."""
    target = _target(path)
    try:
        st = os.stat(target)
    except FileNotFoundError:
        st = None
    if st is not None:
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fsdecode(os.fspath(path)))
        if not stat.S_ISREG(st.st_mode):
            return _write_in_place(target, how, write)
        if not os.access(target, os.W_OK):
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), os.fsdecode(os.fspath(path)))
    folder, name = os.path.split(target)
    try:
        fd, tmp = tempfile.mkstemp(dir=folder or ".", prefix="." + name[:_PREFIX_CHARS] + ".", suffix=".tmp")
    except PermissionError:
        if st is None:
            raise
        return _write_in_place(target, how, write)
    try:
        if st is not None:
            os.fchmod(fd, stat.S_IMODE(st.st_mode))
            if (st.st_uid, st.st_gid) != (os.getuid(), os.getgid()):
                try:
                    os.fchown(fd, st.st_uid, st.st_gid)
                except OSError:
                    pass
        else:
            os.fchmod(fd, _new_file_mode())
        with os.fdopen(fd, **how) as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    _sync_folder(folder or ".")


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


def write_bytes_atomic(path: FilePath, data: bytes | bytearray | memoryview) -> None:
    """Replace ``path`` with ``data`` (bytes-like): temporary file in the same
    folder, flush and fsync, then ``os.replace``. An existing file keeps its
    permission bits; on any failure the temporary file is removed and the
    old file is left as it was."""
    _atomic(path, {"mode": "wb"}, lambda f: f.write(data))


def write_text_atomic(path: FilePath, text: str, encoding: str | None = None) -> None:
    """``write_bytes_atomic`` for text, encoded exactly as ``open(path, "w")``
    would (the platform's default encoding unless one is named, strict
    errors, newline translation)."""
    if not isinstance(text, str):
        raise TypeError("write() argument must be str, not %s" % type(text).__name__)
    _atomic(path, {"mode": "w", "encoding": encoding}, lambda f: f.write(text))
