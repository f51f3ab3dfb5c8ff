"""Atomic file writes: the helper itself, and generative_solve's output files
surviving a kill or a file-size limit in the middle of a later iteration."""

import contextlib
import os
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

from tavro import _fileio

WRITER = os.path.join(os.path.dirname(__file__), "interrupted_writer.py")


def leftovers(folder, *keep):
    return sorted(set(os.listdir(folder)) - set(keep))


def outputs(tmp_path):
    return tmp_path / "s.mod", tmp_path / "s.dat"


def test_size_limit_during_second_write_keeps_first_pair(tmp_path):
    model, data = outputs(tmp_path)
    proc = subprocess.run([sys.executable, WRITER, str(model), str(data), "200000", "65536"],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 1 and "File too large" in proc.stderr
    assert "Iteration 2/2: prompting model" in proc.stdout
    assert (model.read_text(), data.read_text()) == ("M1\n", "D1\n")
    assert leftovers(tmp_path, "s.mod", "s.dat") == []


def kill_during_second_write(tmp_path, size):
    """Runs the writer and SIGKILLs it as soon as iteration 2's write shows on
    disk (the model file changing, or any other file with content). Returns
    whether the kill came before that write was reported done."""
    model, data = outputs(tmp_path)
    log = tmp_path.parent / (tmp_path.name + ".log")
    with open(log, "w") as out:
        child = subprocess.Popen([sys.executable, WRITER, str(model), str(data), str(size)], stdout=out)
    try:
        deadline = time.monotonic() + 60
        while "Iteration 2/2" not in log.read_text():
            assert child.poll() is None and time.monotonic() < deadline, log.read_text()
            time.sleep(0.001)
        while child.poll() is None and time.monotonic() < deadline:
            if model.stat().st_size != 3 or any(
                    os.stat(tmp_path / name).st_size for name in leftovers(tmp_path, "s.mod", "s.dat")):
                break
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=10)
    finally:
        if child.poll() is None:
            child.kill()
    return log.read_text().count("Wrote files") == 1


def test_kill_during_second_write_keeps_first_pair(tmp_path):
    size = 64 << 20
    for attempt in range(3):
        folder = tmp_path / str(attempt)
        folder.mkdir()
        during = kill_during_second_write(folder, size)
        model, data = outputs(folder)
        text = model.read_text()
        assert text in ("M1\n", "M" * size), "a cut-off model of %d characters" % len(text)
        if during:
            assert (text, data.read_text()) == ("M1\n", "D1\n")
            # The next write to the target removes what the killed writer left.
            _fileio.write_text_atomic(model, "M3\n")
            assert leftovers(folder, "s.mod", "s.dat") == []
            return
    pytest.fail("the kill never came during the write")


# ---- the helper -------------------------------------------------------------

@pytest.mark.parametrize("write, expected", [
    (lambda p: _fileio.write_text_atomic(p, "caf\u00e9\n", encoding="latin-1"), b"caf\xe9\n"),
    (lambda p: _fileio.write_text_atomic(p, "caf\u00e9", encoding="utf-8"), b"caf\xc3\xa9"),
    (lambda p: _fileio.write_bytes_atomic(p, b"\x00\xff"), b"\x00\xff"),
    (lambda p: _fileio.write_bytes_atomic(os.fsencode(p), bytearray(b"raw")), b"raw"),
    (lambda p: _fileio.write_text_atomic(str(p), ""), b""),
])
def test_writes_replace_content(tmp_path, write, expected):
    target = tmp_path / "f.txt"
    target.write_bytes(b"old content")
    write(target)
    assert target.read_bytes() == expected
    assert leftovers(tmp_path, "f.txt") == []


def test_default_encoding_matches_open(tmp_path):
    text = "x = 1;\n// \u00e9\u20ac\n"
    with open(tmp_path / "a", "w") as f:
        f.write(text)
    _fileio.write_text_atomic(tmp_path / "b", text)
    assert (tmp_path / "a").read_bytes() == (tmp_path / "b").read_bytes()


@pytest.mark.parametrize("bad, error", [
    (lambda p: _fileio.write_text_atomic(p, "\u20ac", encoding="latin-1"), UnicodeEncodeError),
    (lambda p: _fileio.write_text_atomic(p, "\ud800"), UnicodeEncodeError),
    (lambda p: _fileio.write_text_atomic(p, b"bytes"), TypeError),
    (lambda p: _fileio.write_bytes_atomic(p, "text"), TypeError),
])
def test_failed_write_leaves_old_file_and_no_temporary(tmp_path, bad, error):
    target = tmp_path / "f.mod"
    target.write_text("old")
    with pytest.raises(error):
        bad(target)
    assert target.read_text() == "old"
    assert leftovers(tmp_path, "f.mod") == []


def test_permission_bits_kept_and_new_file_follows_umask(tmp_path):
    kept = tmp_path / "kept"
    kept.write_text("x")
    os.chmod(kept, 0o640)
    _fileio.write_text_atomic(kept, "y")
    assert stat.S_IMODE(kept.stat().st_mode) == 0o640
    old = os.umask(0o027)
    try:
        _fileio.write_text_atomic(tmp_path / "new", "z")
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "new").stat().st_mode) == 0o640


def test_symbolic_link_is_written_through(tmp_path):
    real = tmp_path / "real" / "m.mod"
    real.parent.mkdir()
    real.write_text("old")
    link = tmp_path / "link.mod"
    link.symlink_to(real)
    dangling = tmp_path / "dangling.mod"
    dangling.symlink_to(tmp_path / "real" / "new.mod")
    _fileio.write_text_atomic(link, "new")
    _fileio.write_text_atomic(dangling, "created")
    assert link.is_symlink() and real.read_text() == "new"
    assert dangling.is_symlink() and (tmp_path / "real" / "new.mod").read_text() == "created"
    assert leftovers(real.parent, "m.mod", "new.mod") == []


def test_folder_target_is_refused_untouched(tmp_path):
    (tmp_path / "adir").mkdir()
    with pytest.raises(IsADirectoryError):
        _fileio.write_text_atomic(tmp_path / "adir", "x")
    assert (tmp_path / "adir").is_dir() and leftovers(tmp_path, "adir") == []


def test_fifo_is_written_in_place_not_replaced(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(open(fifo, "rb").read()), daemon=True)
    reader.start()
    _fileio.write_text_atomic(fifo, "through the pipe")
    reader.join(timeout=5)
    assert got == [b"through the pipe"] and stat.S_ISFIFO(os.lstat(fifo).st_mode)


def test_long_file_name(tmp_path):
    target = tmp_path / ("n" * 250)
    _fileio.write_text_atomic(target, "ok")
    assert target.read_text() == "ok"


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write anything")
def test_read_only_file_is_refused_like_open(tmp_path):
    target = tmp_path / "ro.mod"
    target.write_text("old")
    os.chmod(target, 0o444)
    with pytest.raises(PermissionError):
        _fileio.write_text_atomic(target, "new")
    assert target.read_text() == "old"


# ---- files that belong together ---------------------------------------------

PAIR_UNDER_LIMIT = """
import resource, signal, sys
from tavro import _fileio
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
first, second, how = sys.argv[1:]
if how == "files":
    _fileio.write_files_atomic({first: "new model\\n", second: b"D" * 10000})
else:
    with _fileio.replaced_together([first, second]) as (a, b):
        open(a, "w").write("new model\\n")
        open(b, "wb").write(b"D" * 10000)
"""


@pytest.mark.parametrize("how", ["files", "together"])
def test_size_limit_on_the_second_file_leaves_both_old(tmp_path, how):
    first, second = tmp_path / "m.mod", tmp_path / "m.dat"
    first.write_text("old model\n")
    second.write_text("old data\n")
    proc = subprocess.run([sys.executable, "-c", PAIR_UNDER_LIMIT, str(first), str(second), how],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 1 and "File too large" in proc.stderr
    assert (first.read_text(), second.read_text()) == ("old model\n", "old data\n")
    assert leftovers(tmp_path, "m.mod", "m.dat") == []


@pytest.mark.parametrize("files, error", [
    ({"a": "new", "b": "\u20ac"}, UnicodeEncodeError),      # the second cannot be encoded
    ({"a": "new", "b": 42}, TypeError),
    ({"a": "new", "sub": "x"}, IsADirectoryError),           # found before anything is written
    ({"a": "new", "./a": "again"}, ValueError),              # one file named twice
])
def test_failed_pair_write_leaves_every_target(tmp_path, files, error):
    (tmp_path / "a").write_text("old a")
    (tmp_path / "b").write_text("old b")
    (tmp_path / "sub").mkdir()
    with pytest.raises(error):
        _fileio.write_files_atomic({os.path.join(tmp_path, name): content for name, content in files.items()},
                                   encoding="latin-1")
    assert ((tmp_path / "a").read_text(), (tmp_path / "b").read_text()) == ("old a", "old b")
    assert leftovers(tmp_path, "a", "b", "sub") == []


def test_pair_write_replaces_both_keeping_modes_and_links(tmp_path):
    real = tmp_path / "real.dat"
    real.write_text("old")
    (tmp_path / "link.dat").symlink_to(real)
    (tmp_path / "m.mod").write_text("old")
    os.chmod(tmp_path / "m.mod", 0o600)
    _fileio.write_files_atomic({tmp_path / "m.mod": "caf\u00e9\n", tmp_path / "link.dat": b"\x00\x01",
                                tmp_path / "new.txt": "fresh"}, encoding="utf-8")
    assert (tmp_path / "m.mod").read_bytes() == "caf\u00e9\n".encode()
    assert stat.S_IMODE((tmp_path / "m.mod").stat().st_mode) == 0o600
    assert (tmp_path / "link.dat").is_symlink() and real.read_bytes() == b"\x00\x01"
    assert (tmp_path / "new.txt").read_text() == "fresh"
    assert leftovers(tmp_path, "m.mod", "link.dat", "real.dat", "new.txt") == []


@pytest.mark.parametrize("written, fails, expected", [
    ("ab", False, ("new a", "new b")),
    ("a", False, ("new a", "old b")),    # a temporary not written leaves its target
    ("ab", True, ("old a", "old b")),
    ("", True, ("old a", "old b")),
])
def test_replaced_together(tmp_path, written, fails, expected):
    a, b = tmp_path / "a", tmp_path / "sub" / "b"
    b.parent.mkdir()
    a.write_text("old a")
    b.write_text("old b")
    os.chmod(b, 0o640)
    with pytest.raises(RuntimeError) if fails else contextlib.nullcontext():
        with _fileio.replaced_together([a, b]) as temps:
            assert [os.path.dirname(t) for t in temps] == [str(tmp_path), str(b.parent)]
            assert not any(os.path.exists(t) for t in temps)
            for name, temp in zip("ab", temps):
                if name in written:
                    _fileio.write_text_atomic(temp, "new " + name)
            assert (a.read_text(), b.read_text()) == ("old a", "old b")  # nothing in place yet
            if fails:
                raise RuntimeError("the block failed")
    assert (a.read_text(), b.read_text()) == expected
    assert stat.S_IMODE(b.stat().st_mode) == 0o640
    assert leftovers(tmp_path, "a", "sub") == [] and leftovers(b.parent, "b") == []


# ---- temporaries left by a kill ---------------------------------------------

def gone_pid():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


@pytest.mark.parametrize("name, age, removed", [
    (".m.mod.{dead}.abcd1234.tmp", 0, True),                   # its writer is gone
    ("..m.mod.{dead}.abcd1234.tmp.{dead}.x_y0z9ab.tmp", 0, True),  # the temporary of writing one
    (".m.mod.{own}.abcd1234.tmp", 0, False),                   # a writer still at work
    (".m.mod.{parent}.abcd1234.tmp", 3600, False),
    (".m.mod.{parent}.abcd1234.tmp", 3 * 86400, True),         # a reused process id
    (".m.mod.abcd1234.tmp", 3600, True),                       # an older version's, long untouched
    (".m.mod.abcd1234.tmp", 0, False),
    (".m.dat.{dead}.abcd1234.tmp", 0, False),                  # another target's
    ("m.mod.{dead}.abcd1234.tmp", 0, False),                   # the user's files
    (".m.mod.{dead}.abcd.tmp", 0, False),
    (".m.mod.bak", 3600, False),
    (".m.mod.{dead}.abcd1234.tmp.bak", 0, False),
])
def test_next_write_cleans_temporaries_left_by_a_kill(tmp_path, name, age, removed):
    name = name.format(dead=gone_pid(), own=os.getpid(), parent=os.getppid())
    left = tmp_path / name
    left.write_text("left behind")
    then = time.time() - age
    os.utime(left, (then, then))
    _fileio.write_text_atomic(tmp_path / "m.mod", "x")
    assert left.exists() is not removed
    with _fileio.replaced_together([tmp_path / "m.mod"]):
        pass
    assert left.exists() is not removed


PAIR_WRITER = os.path.join(os.path.dirname(__file__), "pair_writer.py")


@pytest.mark.parametrize("options", [[], ["--solve"]])
def test_generate_under_a_size_limit_leaves_a_whole_pair(tmp_path, options):
    """The second pair's data cannot be written: the first pair (the last one
    written whole) is in place, never the second model beside the first data."""
    model, data = tmp_path / "out" / "g.mod", tmp_path / "out" / "g.dat"
    proc = subprocess.run([sys.executable, PAIR_WRITER, str(model), str(data), "8192", *options],
                          capture_output=True, text=True, timeout=120, env=dict(os.environ, OPENAI_API_KEY="sk-x"))
    assert proc.returncode == 1 and "tavro: [Errno 27] File too large: '%s'" % data in proc.stderr
    assert "Wrote files: %s \u2022 %s" % (model, data) in proc.stdout  # the final names, not the temporaries
    assert (model.read_text(), data.read_text()) == ("dvar float+ x;\nminimize c: x;\n", "a = 1;\n")
    assert leftovers(model.parent, "g.mod", "g.dat") == []
