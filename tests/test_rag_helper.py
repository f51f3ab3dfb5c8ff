"""The few-shot ranker tavro.rag_helper.rank_problem_descriptions."""

import os
import pathlib
import threading

import pytest

from tavro import rag_helper
from tavro.rag_helper import rank_problem_descriptions as rank

DESCRIPTIONS = {
    "diet": "Choose quantities of foods to buy so that the daily nutrient requirements for calories, "
            "protein and vitamins are met at minimum total cost.",
    "transport": "Ship goods from several warehouses to retail stores. Each warehouse has a supply "
                 "capacity and each store a demand; minimise the total shipping cost per unit.",
    "knapsack": "A hiker selects items to pack in a knapsack with a weight limit, maximising the total "
                "value of the chosen items.",
    "scheduling": "Assign nurses to shifts over a week so that every shift is covered, nobody works two "
                  "consecutive night shifts and preferences are respected.",
    "production": "A factory produces chairs and tables from wood and labour hours; decide the "
                  "production plan that maximises profit.",
    "blending": "Blend crude oils into gasoline grades meeting octane and sulphur limits while keeping "
                "raw material cost low.",
    "facility": "Decide which distribution centres to open, paying a fixed opening cost, and serve all "
                "customers from open centres.",
    "portfolio": "Allocate money among stocks and bonds to reach an expected return while limiting "
                 "risk measured by variance.",
    "assignment": "Assign workers to jobs one to one minimising the total time needed.",
    "cutting": "Cut large paper rolls into smaller widths to satisfy orders with the least waste.",
    "network": "Send the maximum flow of data from a source server to a sink through links with "
               "bandwidth capacities.",
    "crop": "A farmer plants wheat and corn on limited acres of land with water limits to maximise "
            "harvest revenue.",
}


@pytest.fixture
def library(tmp_path):
    root = tmp_path / "models"
    for name, text in DESCRIPTIONS.items():
        folder = root / name
        folder.mkdir(parents=True)
        (folder / f"{name}.txt").write_text(text, encoding="utf-8")
        (folder / f"{name}.mod").write_text("var x;")
        (folder / f"{name}.dat").write_text("data;")
    return root


def names(hits):
    return [pathlib.Path(h["path"]).stem for h in hits]


@pytest.mark.parametrize(
    "query, best",
    [
        ("We must move goods from depots to shops, keeping shipping expenses small "
         "given each depot's supply.", "transport"),
        ("Pick which foods to purchase to satisfy nutrition needs like protein cheaply.", "diet"),
        ("Roster the hospital nurses across the weekly shifts.", "scheduling"),
        ("Which items should go in the bag without exceeding the weight?", "knapsack"),
        ("INVESTING in STOCKS with a target return and low variance", "portfolio"),
        ("a workshop making tables and chairs wants the most profitable production", "production"),
    ],
)
def test_paraphrased_query_ranks_its_description_first(library, query, best):
    hits = rank(query=query, models_dir=str(library), top_k=3)
    assert names(hits)[0] == best
    assert len(hits) <= 3


def test_hits_shape_and_order(library):
    hits = rank("total cost", str(library), 5)
    assert isinstance(hits, list) and hits
    for hit in hits:
        assert list(hit) == ["path", "score"]
        assert type(hit["path"]) is str and type(hit["score"]) is float
        assert hit["path"].startswith(str(library) + os.sep) and hit["path"].endswith(".txt")
        assert pathlib.Path(hit["path"]).is_file()
    scores = [h["score"] for h in hits]
    assert scores == sorted(scores, reverse=True) and scores[-1] > 0


def test_relative_folder_gives_relative_paths(library, monkeypatch):
    monkeypatch.chdir(library.parent)
    hits = rank("knapsack weight", "models", 1)
    assert hits[0]["path"] == os.path.join("models", "knapsack", "knapsack.txt")


def test_path_object_folder(library):
    assert names(rank("knapsack", library, 1)) == ["knapsack"]


@pytest.mark.parametrize("top_k", [0, -1, 10**40])
def test_non_positive_top_k_returns_every_match(library, top_k):
    assert len(rank("total cost", str(library), top_k)) == len(rank("total cost", str(library), 100))


def test_top_k_limits(library):
    assert len(rank("total cost", str(library), 1)) == 1


@pytest.mark.parametrize("query", ["", "the and of to with", "!!! ??? ...", "zyzzyva"])
def test_query_without_matching_terms(library, query):
    assert rank(query, str(library), 3) == []


def test_case_punctuation_and_unicode(tmp_path):
    (tmp_path / "a.txt").write_text("ÉCOLE timetable: Ωmega, МОСКВА!", encoding="utf-8")
    (tmp_path / "b.txt").write_text("unrelated words here", encoding="utf-8")
    for query in ["école", "ωmega", "москва", "TIMETABLE"]:
        assert names(rank(query, str(tmp_path), 2)) == ["a"], query


def test_only_txt_files_recursively(tmp_path):
    (tmp_path / "deep" / "er").mkdir(parents=True)
    (tmp_path / "deep" / "er" / "x.txt").write_text("warehouse routing")
    (tmp_path / "y.mod").write_text("warehouse routing")
    (tmp_path / "z.TXT").write_text("warehouse routing")
    (tmp_path / "dir.txt").mkdir()
    hits = rank("warehouse", str(tmp_path), 5)
    assert [h["path"] for h in hits] == [str(tmp_path / "deep" / "er" / "x.txt")]


def test_invalid_utf8_and_empty_files(tmp_path):
    (tmp_path / "bad.txt").write_bytes(b"caf\xff\xfe warehouse")
    (tmp_path / "empty.txt").write_bytes(b"")
    assert names(rank("warehouse", str(tmp_path), 5)) == ["bad"]


def test_cache_notices_edits_additions_and_removals(library):
    query = "lighthouse keeper rota"
    assert rank(query, str(library), 3) == []
    target = library / "cutting" / "cutting.txt"
    target.write_text("A lighthouse keeper rota for the coast guard.")
    assert names(rank(query, str(library), 3)) == ["cutting"]
    # Same size, new modification time.
    target.write_text("A lighthouse keeper ROTA for the coast guard.")
    os.utime(target, ns=(1, 10**18))
    assert names(rank(query, str(library), 3)) == ["cutting"]
    extra = library / "new.txt"
    extra.write_text("lighthouse lighthouse lighthouse keeper rota rota")
    assert names(rank(query, str(library), 3))[0] == "new"
    extra.unlink()
    target.write_text(DESCRIPTIONS["cutting"])
    assert rank(query, str(library), 3) == []


def test_clear_cache_is_harmless(library):
    before = rank("paper rolls waste", str(library), 2)
    rag_helper._clear_cache()
    assert rank("paper rolls waste", str(library), 2) == before


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda p: p / "missing", FileNotFoundError),
        (lambda p: (p / "file.txt").write_text("x") and p / "file.txt", NotADirectoryError),
    ],
)
def test_bad_folder_raises(tmp_path, make, error):
    folder = make(tmp_path)
    with pytest.raises(error) as info:
        rank("query", str(folder), 3)
    assert info.value.filename == str(folder)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every folder")
def test_unreadable_folder_raises(tmp_path):
    folder = tmp_path / "locked"
    folder.mkdir()
    folder.chmod(0)
    try:
        with pytest.raises(PermissionError):
            rank("query", str(folder), 3)
    finally:
        folder.chmod(0o755)


@pytest.mark.parametrize(
    "kwargs, name, got",
    [
        ({"query": None}, "query", "NoneType"),
        ({"query": b"q"}, "query", "bytes"),
        ({"models_dir": 3}, "models_dir", "int"),
        ({"models_dir": None}, "models_dir", "NoneType"),
        ({"top_k": True}, "top_k", "bool"),
        ({"top_k": 2.0}, "top_k", "float"),
    ],
)
def test_argument_types(tmp_path, kwargs, name, got):
    args = {"query": "q", "models_dir": str(tmp_path), "top_k": 1, **kwargs}
    with pytest.raises(TypeError) as info:
        rank(**args)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {got})".replace(
        "expected str", "expected int" if name == "top_k" else "expected str")


def test_keywords_only_as_documented(tmp_path):
    with pytest.raises(TypeError):
        rank(query="q", models_dir=str(tmp_path), k=1)


def test_threads_share_the_cache(library):
    results, errors = [], []

    def work():
        try:
            for _ in range(20):
                results.append(names(rank("nurses shifts", str(library), 1)))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert results == [["scheduling"]] * 80


def test_used_by_modelwright_few_shots(library):
    from tavro import modelwright as mw

    assert mw.rag_rank is rank
    if not hasattr(mw, "_gather_few_shots"):
        pytest.skip("_gather_few_shots is not built in this tree")
    records = mw._gather_few_shots("ship goods from warehouses to stores", 1, str(library))
    assert [pathlib.Path(r["desc_path"]).stem for r in records] == ["transport"]
