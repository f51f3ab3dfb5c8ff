"""Few-shot retrieval of tavro.modelwright: pairing a description with its
model and data files, and gathering records from the ranker's hits."""

import inspect
import logging
import pathlib
from importlib.resources import files

import pytest

from tavro import modelwright as mw

LOGGER = "tavro.modelwright"


class Ranker:
    """A fake rag_rank that records its calls and returns scripted hits."""

    def __init__(self, hits=(), error=None):
        self.hits, self.error, self.calls = list(hits), error, []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return self.hits


@pytest.fixture
def ranker(monkeypatch):
    def install(hits=(), error=None):
        fake = Ranker(hits, error)
        monkeypatch.setattr(mw, "rag_rank", fake)
        return fake

    return install


def example(root, name, files_=None, stem=None):
    """A folder `name` with description, model and data files."""
    folder = root / name
    folder.mkdir(parents=True)
    stem = stem or name
    contents = files_ if files_ is not None else {
        f"{stem}.txt": f"  Problem {name}.\n",
        f"{stem}.mod": f"// model {name}\n",
        f"{stem}.dat": f"// data {name}\n",
    }
    for file_name, text in contents.items():
        (folder / file_name).write_text(text, encoding="utf-8")
    return folder / f"{stem}.txt"


class Progress(list):
    """A callback that keeps the messages (truthy even before the first one)."""

    def __call__(self, msg):
        self.append(msg)

    def __bool__(self):
        return True


# ---- _find_pair_in_folder ----------------------------------------------------------


PAIRING = [
    ({"K.txt": "", "K.mod": "", "K.dat": ""}, ("K.mod", "K.dat")),
    ({"K.txt": "", "K.mod": "", "B.dat": "", "A.dat": ""}, ("K.mod", "A.dat")),
    ({"K.txt": "", "Z.mod": "", "B.mod": "", "K.dat": ""}, ("B.mod", "K.dat")),
    ({"K.txt": "", "K.dat": ""}, (None, "K.dat")),
    ({"K.txt": ""}, (None, None)),
    ({"K.txt": "", "a.mod": "", "B.mod": "", ".hidden.dat": "", "A.dat": ""}, ("B.mod", ".hidden.dat")),
    ({"K.txt": "", "k.MOD": "", "K.dat": ""}, (None, "K.dat")),
]


@pytest.mark.parametrize("contents, expected", PAIRING)
def test_find_pair_in_folder(tmp_path, contents, expected):
    desc = example(tmp_path, "ex", contents, stem="K")
    got = mw._find_pair_in_folder(desc)
    assert type(got) is tuple
    assert got == tuple(None if n is None else desc.parent / n for n in expected)


def test_same_stem_directory_falls_back_to_first_file(tmp_path):
    desc = example(tmp_path, "ex", {"K.txt": "", "M.mod": "", "K.dat": ""}, stem="K")
    (desc.parent / "K.mod").mkdir()
    # The folder entry K.mod sorts first and exists, as the glob includes folders.
    assert mw._find_pair_in_folder(desc) == (desc.parent / "K.mod", desc.parent / "K.dat")


def test_docstrings_and_signatures():
    assert mw._find_pair_in_folder.__doc__ == (
        "\n    Given a description .txt path, locate associated .mod and .dat in the same folder.\n"
        "    Preference order:\n"
        "      1) Same stem: <stem>.mod and <stem>.dat\n"
        "      2) First *.mod and first *.dat in folder (sorted)\n    "
    )
    assert mw._gather_few_shots.__doc__ == (
        "\n    Use rag_helper to find top-k relevant examples and return a list of dicts with keys:\n"
        "      - description (str)\n"
        "      - model (str)\n"
        "      - data (str)\n"
        "      - desc_path / model_path / data_path (optional metadata)\n    "
    )
    params = inspect.signature(mw._gather_few_shots).parameters
    assert [(p.name, p.default) for p in params.values()] == [
        ("problem_description", inspect.Parameter.empty),
        ("k", 3),
        ("models_dir", None),
        ("progress", None),
    ]
    assert list(inspect.signature(mw._find_pair_in_folder).parameters) == ["desc_path"]


# ---- _gather_few_shots -------------------------------------------------------------


def test_three_hits_give_three_records_in_hit_order(tmp_path, ranker):
    descs = [example(tmp_path, n) for n in ("b", "a", "c")]
    fake = ranker([{"path": str(d), "score": 0.9} for d in descs])
    progress = Progress()
    got = mw._gather_few_shots("my problem", 3, tmp_path, progress)
    assert fake.calls == [((), {"query": "my problem", "models_dir": str(tmp_path), "top_k": 3})]
    assert [r["description"] for r in got] == ["Problem b.", "Problem a.", "Problem c."]
    assert list(got[0]) == ["description", "model", "data", "desc_path", "model_path", "data_path"]
    assert got[0] == {
        "description": "Problem b.",
        "model": "// model b",
        "data": "// data b",
        "desc_path": str(descs[0]),
        "model_path": str(tmp_path / "b" / "b.mod"),
        "data_path": str(tmp_path / "b" / "b.dat"),
    }
    assert progress == [
        "Retrieving few-shot examples (k=3)",
        "Found 3 few-shot candidates: ['b.txt', 'a.txt', 'c.txt']",
    ]


def test_path_objects_and_relative_paths_come_back_as_text(tmp_path, ranker, monkeypatch):
    monkeypatch.chdir(tmp_path)
    example(tmp_path, "rel")
    ranker([{"path": pathlib.Path("rel/rel.txt")}])
    (record,) = mw._gather_few_shots("q", models_dir="lib")
    assert (record["desc_path"], record["model_path"], record["data_path"]) == (
        "rel/rel.txt", "rel/rel.mod", "rel/rel.dat"
    )


FAILURES = [
    (RuntimeError("index offline"), "index offline"),
    (None, "'path'"),  # a hit without "path"
]


@pytest.mark.parametrize("error, text", FAILURES)
def test_failing_ranking_gives_no_examples(tmp_path, ranker, caplog, error, text):
    desc = example(tmp_path, "x")
    ranker([{"path": str(desc)}, {"file": str(desc)}], error=error)
    progress = Progress()
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert mw._gather_few_shots("q", 3, tmp_path, progress) == []
    assert progress == [
        "Retrieving few-shot examples (k=3)",
        "Few-shot retrieval failed; continuing without examples",
    ]
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        (LOGGER, logging.DEBUG, "Few-shot retrieval skipped: " + text)
    ]


def test_unsized_ranking_result_fails_the_ranking_step(tmp_path, monkeypatch):
    desc = example(tmp_path, "x")
    monkeypatch.setattr(mw, "rag_rank", lambda **kw: iter([{"path": str(desc)}]))
    assert mw._gather_few_shots("q", models_dir=tmp_path) == []


def test_interrupts_pass_both_guards(tmp_path, ranker, monkeypatch):
    ranker(error=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        mw._gather_few_shots("q", models_dir=tmp_path)
    ranker([{"path": str(example(tmp_path, "a"))}])

    def interrupted(desc_path):
        raise KeyboardInterrupt

    monkeypatch.setattr(mw, "_find_pair_in_folder", interrupted)
    with pytest.raises(KeyboardInterrupt):
        mw._gather_few_shots("q", models_dir=tmp_path)


SKIPPED = {
    "no_dat": {"no_dat.txt": "P", "no_dat.mod": "M"},
    "no_mod": {"no_mod.txt": "P", "no_mod.dat": "D"},
    "empty_desc": {"empty_desc.txt": " \n\t", "empty_desc.mod": "M", "empty_desc.dat": "D"},
    "empty_model": {"empty_model.txt": "P", "empty_model.mod": "", "empty_model.dat": "D"},
    "empty_data": {"empty_data.txt": "P", "empty_data.mod": "M", "empty_data.dat": "\n"},
    "bad_utf8": {"bad_utf8.txt": None, "bad_utf8.mod": "M", "bad_utf8.dat": "D"},
}


@pytest.mark.parametrize("case", list(SKIPPED))
def test_unusable_example_is_skipped_silently(tmp_path, ranker, caplog, case):
    contents = dict(SKIPPED[case])
    bad_utf8 = contents.get(f"{case}.txt", "") is None
    if bad_utf8:
        contents[f"{case}.txt"] = ""
    skipped = example(tmp_path, case, contents)
    if bad_utf8:
        skipped.write_bytes(b"\xff\xfe\xff")
    good = [example(tmp_path, n) for n in ("g1", "g2")]
    ranker([{"path": str(good[0])}, {"path": str(skipped)}, {"path": str(good[1])}])
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        got = mw._gather_few_shots("q", 2, tmp_path, Progress())
    assert [r["desc_path"] for r in got] == [str(good[0]), str(good[1])]
    assert caplog.records == []


def test_missing_description_file_is_skipped(tmp_path, ranker):
    good = example(tmp_path, "g")
    ranker([{"path": str(tmp_path / "gone" / "gone.txt")}, {"path": str(good)}])
    assert [r["desc_path"] for r in mw._gather_few_shots("q", models_dir=tmp_path)] == [str(good)]


def test_error_in_one_example_is_logged_and_the_rest_processed(tmp_path, ranker, monkeypatch, caplog):
    descs = [example(tmp_path, n) for n in ("a", "b")]
    ranker([{"path": str(descs[0])}, {"path": str(descs[1])}])
    calls = []
    real = mw._find_pair_in_folder

    def pairing(desc_path):
        calls.append(desc_path)
        if desc_path.name == "a.txt":
            raise OSError("disk gone")
        return real(desc_path)

    monkeypatch.setattr(mw, "_find_pair_in_folder", pairing)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        got = mw._gather_few_shots("q", models_dir=tmp_path, progress=Progress())
    assert [r["description"] for r in got] == ["Problem b."]
    assert calls == descs
    assert [r.getMessage() for r in caplog.records] == ["Skipping example due to error: disk gone"]


def test_hit_path_that_is_no_path_fails_the_ranking_step(tmp_path, ranker, caplog):
    ranker([{"path": str(example(tmp_path, "a"))}, {"path": 42}])
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert mw._gather_few_shots("q", models_dir=tmp_path) == []
    assert caplog.records[-2].getMessage() == (
        "Few-shot retrieval skipped: expected str, bytes or os.PathLike object, not int"
    )


@pytest.mark.parametrize(
    "pair, text",
    [
        ((None,), "not enough values to unpack (expected 2, got 1)"),
        ((None, None, None), "too many values to unpack (expected 2)"),
        (None, "cannot unpack non-iterable NoneType object"),
    ],
)
def test_pair_result_unpacked_as_two_values(tmp_path, ranker, monkeypatch, caplog, pair, text):
    ranker([{"path": str(example(tmp_path, "a"))}])
    monkeypatch.setattr(mw, "_find_pair_in_folder", lambda p: pair)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert mw._gather_few_shots("q", models_dir=tmp_path) == []
    assert [r.getMessage() for r in caplog.records][-1] == "Skipping example due to error: " + text


def test_reader_called_through_module_attribute(tmp_path, ranker, monkeypatch):
    ranker([{"path": str(example(tmp_path, "a"))}])
    seen = []

    def reader(path):
        seen.append(path.name)
        return "text of " + path.name

    monkeypatch.setattr(mw, "_safe_read_text", reader)
    (record,) = mw._gather_few_shots("q", models_dir=tmp_path)
    assert seen == ["a.txt", "a.mod", "a.dat"]
    assert record["model"] == "text of a.mod"


@pytest.mark.parametrize("k, count", [(1, 1), (2, 2), (0, 1), (-5, 1), (10, 3)])
def test_k_limits_the_records(tmp_path, ranker, k, count):
    fake = ranker([{"path": str(example(tmp_path, n))} for n in "abc"])
    got = mw._gather_few_shots("q", k, tmp_path)
    assert len(got) == count
    assert fake.calls[0][1]["top_k"] == k


def test_k_zero_with_no_hits(tmp_path, ranker):
    ranker([])
    progress = Progress()
    assert mw._gather_few_shots("q", 0, tmp_path, progress) == []
    assert progress == ["Retrieving few-shot examples (k=0)", "Found 0 few-shot candidates: []"]


def test_without_callback_progress_goes_to_debug_log(tmp_path, ranker, caplog):
    ranker([{"path": str(example(tmp_path, "a"))}])
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        mw._gather_few_shots("q", models_dir=tmp_path)
    assert [r.getMessage() for r in caplog.records] == [
        "Retrieving few-shot examples (k=3)",
        "Found 1 few-shot candidates: ['a.txt']",
    ]


def test_progress_goes_through_notify(tmp_path, ranker, monkeypatch):
    ranker([])
    sent = []
    monkeypatch.setattr(mw, "_notify", lambda progress, msg: sent.append((progress, msg)))
    mw._gather_few_shots("q", 2, tmp_path, "cb")
    assert sent == [("cb", "Retrieving few-shot examples (k=2)"), ("cb", "Found 0 few-shot candidates: []")]


def test_names_shown_with_host_quoting(tmp_path, ranker):
    desc = example(tmp_path, "o'brien")
    ranker([{"path": str(desc)}, {"path": "x/ü\nname.txt"}])
    progress = Progress()
    mw._gather_few_shots("q", 3, tmp_path, progress)
    assert progress[1] == "Found 2 few-shot candidates: [\"o'brien.txt\", 'ü\\nname.txt']"


def test_default_folder_is_the_package_library(ranker):
    fake = ranker([])
    mw._gather_few_shots("q")
    assert fake.calls[0][1]["models_dir"] == str(files("tavro") / "kelm_models")


def test_default_folder_falls_back_beside_the_module(ranker, monkeypatch):
    def broken(package):
        raise ModuleNotFoundError(package)

    monkeypatch.setattr(mw, "files", broken)
    fake = ranker([])
    mw._gather_few_shots("q")
    assert fake.calls[0][1]["models_dir"] == str(pathlib.Path(mw.__file__).parent / "kelm_models")


def test_records_from_the_package_library(ranker):
    library = files("tavro") / "kelm_models"
    hits = [{"path": str(library / n / f"{n}.txt")} for n in ("diet", "knapsack", "min_cost_flow")]
    ranker(hits)
    got = mw._gather_few_shots("Plan meals cheaply.")
    assert [pathlib.Path(r["model_path"]).name for r in got] == ["diet.mod", "knapsack.mod", "min_cost_flow.mod"]
    assert all(r["description"] and r["model"] and r["data"] for r in got)
    assert "tuple Arc" in got[2]["model"]


class Str(str):
    pass


@pytest.mark.parametrize(
    "args, message",
    [
        ((None,), "Argument 'problem_description' has incorrect type (expected str, got NoneType)"),
        ((Str("q"),), "Argument 'problem_description' has incorrect type (expected str, got Str)"),
        (("q", True), "Argument 'k' has incorrect type (expected int, got bool)"),
        (("q", 3.0), "Argument 'k' has incorrect type (expected int, got float)"),
    ],
)
def test_argument_checks(ranker, args, message):
    fake = ranker([])
    with pytest.raises(TypeError) as exc:
        mw._gather_few_shots(*args)
    assert str(exc.value) == message
    assert fake.calls == []


def test_bad_models_dir_is_not_caught(ranker):
    fake = ranker([])
    with pytest.raises(TypeError):
        mw._gather_few_shots("q", 3, 12)
    assert fake.calls == []
