"""``tavro generate``'s safeguards: output paths checked before the first
paid call, and an outcome that follows the run, so that a final pair that
does not compile is reported (exit status 3) and the last pair that did
compile is kept beside it."""

import os
import sys
import tempfile

from ._cli_output import clean

__all__ = ["EXIT_DOES_NOT_COMPILE", "check_outputs", "output_problem", "Outcome"]

# Exit status of a generate run whose final model and data do not compile.
EXIT_DOES_NOT_COMPILE = 3


def output_problem(path):
    """Why ``path`` cannot take an output file, or None."""
    if os.path.isdir(path) or path.endswith(("/", os.sep)):
        return "it is a folder"
    folder = os.path.dirname(os.path.abspath(path))
    existing = folder
    while not os.path.lexists(existing):
        existing = os.path.dirname(existing)
    if not os.path.isdir(existing):
        return "%s is not a folder" % existing
    if os.path.exists(path) and not os.access(path, os.W_OK):
        return "permission denied"
    try:  # can a file (or the missing folders) be created there?
        if existing == folder:
            fd, probe = tempfile.mkstemp(dir=folder, prefix=".tavro-check-")
            os.close(fd)
            os.unlink(probe)
        else:
            os.rmdir(tempfile.mkdtemp(dir=existing, prefix=".tavro-check-"))
    except OSError as e:
        return e.strerror or str(e)
    return None


def check_outputs(parser, args):
    """Usage errors for output paths that cannot be written, before the
    first LLM request is paid for."""
    for option, path in (("-o", args.output), ("-d", args.data)):
        problem = output_problem(path)
        if problem:
            parser.error("argument %s: cannot write %s: %s" % (option, clean(path), clean(problem)))
    if os.path.realpath(args.output) == os.path.realpath(args.data):
        parser.error("-o and -d name the same file")


def _kept_name(path):
    root, ext = os.path.splitext(path)
    return root + ".compiled" + ext


class Outcome:
    """Follows a generate run through its progress messages: whether the
    pair last written compiled, and the texts of the last pair that did, so
    that a run ending on a broken pair never leaves the user with less."""

    def __init__(self, model_file, data_file, show=None):
        self.paths = (model_file, data_file)
        self.show = show or (lambda msg: print(clean(msg), flush=True))
        self.written = False  # a pair was written and its verdict is pending
        self.compiles = None  # verdict on the last pair written
        self.good = None  # texts of the last pair that compiled

    def progress(self, msg):
        self.show(msg)
        msg = str(msg)
        if msg.startswith("Wrote files: "):
            self.written = True
        elif self.written:
            self.written = False
            self.compiles = not msg.startswith("Syntax/semantic errors found: ")
            if self.compiles:
                self.good = tuple(self._read(p) for p in self.paths)

    @staticmethod
    def _read(path):
        with open(path) as f:
            return f.read()

    def keep_good(self):
        """Writes the last compiling pair beside the outputs when the final
        pair does not compile; returns the two paths, or None."""
        if self.compiles is not False or self.good is None:
            return None
        from . import _fileio

        kept = tuple(_kept_name(p) for p in self.paths)
        for path, text in zip(kept, self.good):
            _fileio.write_text_atomic(path, text)
        print("tavro: the last model and data that compiled are kept in %s and %s"
              % tuple(clean(p) for p in kept), file=sys.stderr)
        return kept

    def run(self, solve, *args, **kwargs):
        """``solve(*args, **kwargs)``; should it fail after a broken pair
        replaced one that compiled, that one is kept first."""
        try:
            return solve(*args, **kwargs)
        except BaseException:
            self.keep_good()
            raise

    def finish(self):
        """The exit status; for a final pair that does not compile, its errors
        and the files left are printed first."""
        if self.compiles is not False:
            return 0
        from . import modelwright

        try:
            modelwright.KelmCompiler().compile_model(*(self._read(p) for p in self.paths))
            errors = []
        except modelwright.SemanticError as e:
            errors = [str(e)]
        except Exception as e:
            errors = ["%s: %s" % (type(e).__name__, e)]
        print("tavro: the final model and data do not compile:", file=sys.stderr)
        for error in errors:
            print(clean(error), file=sys.stderr)
        print("tavro: files written: %s and %s" % tuple(clean(p) for p in self.paths), file=sys.stderr)
        self.keep_good()
        return EXIT_DOES_NOT_COMPILE
