"""Atomic file writes: a reader sees the old file or the new one, never a mix.

Every file the package writes (model and data files, emitted scripts,
recordings) goes through ``write_text_atomic`` or ``write_bytes_atomic``.
"""

import os
import stat
import tempfile

__all__ = ["write_text_atomic", "write_bytes_atomic"]


def _target(path):
    # Write through a symbolic link to its target, as open() does.
    path = os.fspath(path)
    return os.path.realpath(path) if os.path.islink(path) else path


def write_bytes_atomic(path, data):
    """Replace ``path`` with ``data``: temporary file in the same folder,
    flush and fsync, then ``os.replace``. An existing file keeps its
    permission bits; on any failure the temporary file is removed and the
    old file is left as it was."""
    target = _target(path)
    folder = os.path.dirname(target) or "."
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(target) + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def write_text_atomic(path, text, encoding=None):
    """``write_bytes_atomic`` for text: encoded as ``open(path, "w")`` would
    (the platform's default encoding unless one is named, newline
    translation included)."""
    if not isinstance(text, str):
        raise TypeError("write() argument must be str, not %s" % type(text).__name__)
    if encoding is None:
        import locale

        encoding = locale.getpreferredencoding(False)
    if os.linesep != "\n":
        text = text.replace("\n", os.linesep)
    write_bytes_atomic(path, text.encode(encoding))
