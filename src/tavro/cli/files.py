"""Input and output files, handled alike by every command: an input that
cannot be read is a usage error (exit status 2) naming the file; an output's
missing folders are created."""

from __future__ import annotations

import argparse
import errno
import os
from typing import NoReturn

from .output import clean

__all__ = ["read_input", "require_inputs", "make_parent", "why"]


def why(error: BaseException) -> str:
    """The reason of an OS or decoding error, without the errno prefix."""
    if isinstance(error, UnicodeDecodeError):
        return "not UTF-8 text (byte %d)" % error.start
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def _unreadable(parser: argparse.ArgumentParser, path: str, error: BaseException) -> NoReturn:
    parser.error("cannot read %s: %s" % (clean(path, one_line=True), clean(why(error), one_line=True)))


def read_input(parser: argparse.ArgumentParser, path: str) -> str:
    """The text of an input file (UTF-8); a usage error when it cannot be read."""
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except (OSError, UnicodeDecodeError) as e:
        _unreadable(parser, path, e)


def require_inputs(parser: argparse.ArgumentParser, *paths: str) -> None:
    """Usage errors for inputs that a library call will read itself: a
    missing file, a folder, a file that cannot be opened."""
    for path in paths:
        try:
            with open(path, "rb") as f:
                f.read(0)
        except OSError as e:
            _unreadable(parser, path, e)


def make_parent(path: str) -> None:
    """Creates the folders an output file goes into."""
    folder = os.path.dirname(path)
    if folder:
        try:
            os.makedirs(folder, exist_ok=True)
        except FileExistsError:  # a file stands where a folder is needed
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), folder) from None
