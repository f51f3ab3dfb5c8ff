"""The six prompt builders of tavro.modelwright: exact texts, few-shot blocks,
argument checks and the text form of inserted values.

The whole prompts are compared with the golden files in golden/prompts/, one
per prompt as the LLM reads it. After a deliberate change of a prompt,
regenerate them with
    TAVRO_UPDATE_GOLDEN=1 bash scripts/test.sh -q -k test_prompts
and review the diff of the golden files.
"""

import difflib
import inspect
import os
import pathlib

import pytest

from tavro import modelwright as mw

GOLDEN = pathlib.Path(__file__).parent / "golden" / "prompts"
UPDATE_GOLDEN = os.environ.get("TAVRO_UPDATE_GOLDEN") == "1"


def golden(name, got=None):
    """The golden text `name`; with `got`, fails with a unified diff unless they match."""
    path = GOLDEN / f"{name}.txt"
    if got is not None and UPDATE_GOLDEN:
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(got)
    with open(path, encoding="utf-8", newline="") as f:
        expected = f.read()
    if got is not None and got != expected:
        diff = difflib.unified_diff(
            expected.splitlines(keepends=True), got.splitlines(keepends=True), f"golden/prompts/{name}.txt", "built"
        )
        pytest.fail("prompt differs from its golden file:\n" + "".join(diff), pytrace=False)
    return expected


# Joints between the fixed text and the inserted values.
GRAMMAR_END = "\n--- END TAVRO SYNTAX IMPLEMENTATION ---\n</grammar_reference>\n\n"
PROBLEM_OPEN = "<problem_description>\n"
PREV_ERRORS = "\n</data>\n</previous_attempt>\n\n<errors>\n"
FS_OPEN = (
    "<few_shot_examples>\n"
    "Use the following exemplars as guidance for structure and syntax only. Do not copy variable "
    "names unless appropriate to the new problem.\n"
)
FS_CLOSE = "</few_shot_examples>\n\n"

# Sum of the fixed text of each prompt (no arguments, no few-shot section).
FIXED_LENGTHS = {
    "_build_generation_prompt": 2003,
    "_build_revision_prompt_syntax": 2216,
    "_build_revision_prompt_alignment": 2378,
    "_build_alignment_prompt": 1856,
    "_build_final_assessment_prompt": 1240,
    "_build_feedback_prompt": 2046,
}


def few_shot_block(i, rec):
    return (
        f'<example index="{i}">\n'
        f'<description path="{rec.get("desc_path", "")}">'
        f'\n{rec["description"]}\n</description>\n\n'
        f'<model_file path="{rec.get("model_path", "")}">'
        f'\n{rec["model"]}\n</model_file>\n\n'
        f'<data_file path="{rec.get("data_path", "")}">'
        f'\n{rec["data"]}\n</data_file>\n</example>\n'
    )


def few_shot_section(records):
    if not records:
        return ""
    return FS_OPEN + "".join(few_shot_block(i, r) for i, r in enumerate(records, 1)) + FS_CLOSE

GEN = "_build_generation_prompt"
SYN = "_build_revision_prompt_syntax"
ALN = "_build_revision_prompt_alignment"
ALIGN = "_build_alignment_prompt"
FINAL = "_build_final_assessment_prompt"
FEEDBACK = "_build_feedback_prompt"

# Every text parameter, in signature order, with its default where it has one.
SIGNATURES = {
    GEN: ["prompt", "grammar_implementation", ("few_shots", None)],
    ALIGN: ["prompt", "grammar_implementation", "model_code", "data_code"],
    ALN: ["prompt", "grammar_implementation", "assessment_text", "model_code", "data_code", ("few_shots", None)],
    SYN: ["prompt", "grammar_implementation", "model_code", "data_code", "syntax_errors", ("few_shots", None)],
    FINAL: ["prompt", "grammar_implementation", "model_code", "data_code", "syntax_errors"],
    FEEDBACK: ["user_prompt_text", "grammar_implementation", "model_code", "data_code"],
}

TEXT_ARGS = {
    name: [p for p in params if isinstance(p, str) and p != "syntax_errors"] for name, params in SIGNATURES.items()
}


def build(name, **kwargs):
    return getattr(mw, name)(**kwargs)


def empty_args(name):
    return {p if isinstance(p, str) else p[0]: "" if isinstance(p, str) else None for p in SIGNATURES[name]}


RECORDS = [
    {
        "description": "Diet <b>cheap</b> & \"good\"",
        "model": "dvar float+ x;\nminimize c: x;",
        "data": "a = 1;",
        "desc_path": "lib/diet/diet.txt",
        "model_path": "lib/diet/diet.mod",
        "data_path": "lib/diet/diet.dat",
    },
    {"description": "Second", "model": "M2", "data": "D2"},
]


# ---- signatures ----------------------------------------------------------------


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_signature(name):
    params = inspect.signature(getattr(mw, name)).parameters
    expected = [(p, inspect.Parameter.empty) if isinstance(p, str) else p for p in SIGNATURES[name]]
    assert [(p.name, p.default) for p in params.values()] == expected
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_wrong_arity_and_unknown_keyword(name):
    fn = getattr(mw, name)
    n = len(SIGNATURES[name])
    with pytest.raises(TypeError):
        fn(*([""] * (n + 1)))
    with pytest.raises(TypeError):
        fn(**empty_args(name), extra="")
    with pytest.raises(TypeError):
        fn("")


# ---- fixed texts -----------------------------------------------------------------


@pytest.mark.parametrize("name, length", list(FIXED_LENGTHS.items()))
def test_fixed_pieces_total(name, length):
    assert len(build(name, **empty_args(name))) == length


def test_generation_prompt_exact():
    got = mw._build_generation_prompt("Plan a diet.", "GRAMMAR", few_shots=RECORDS)
    golden("generation", got)
    assert GRAMMAR_END + few_shot_section(RECORDS) + PROBLEM_OPEN + "Plan a diet.\n" in got


SYNTAX_ERRORS = ["model:1:1: ';' expected", "data:2:3: unknown name 'b'\nhint"]


def test_syntax_revision_prompt_exact():
    got = mw._build_revision_prompt_syntax("P", "G", "MOD", "DAT", SYNTAX_ERRORS, few_shots=RECORDS[:1])
    golden("revision_syntax", got)
    shown = "[\"model:1:1: ';' expected\", \"data:2:3: unknown name 'b'\\nhint\"]"
    assert "\nDAT" + PREV_ERRORS + shown + "\n</errors>" in got


def test_alignment_revision_prompt_exact():
    got = mw._build_revision_prompt_alignment("P", "G", "Costs are missing.", "MOD", "DAT")
    golden("revision_alignment", got)
    # The assessment sits in the task section, before the grammar reference.
    assert got.index("Costs are missing.") < got.index("<grammar_reference>") < got.index("<previous_attempt>")


def test_alignment_prompt_exact():
    got = mw._build_alignment_prompt("P", "G", "MOD", "DAT")
    golden("alignment", got)


FINAL_ERROR_BLOCKS = [
    (None, ""),
    ("", ""),
    ([], ""),
    (False, ""),
    ("bad token", "SYNTAX ERRORS:\nbad token\n\n"),
    (["A\nB"], "SYNTAX ERRORS:\n['A\\nB']\n\n"),
    (["it's", "x\ty"], "SYNTAX ERRORS:\n[\"it's\", 'x\\ty']\n\n"),
]


def test_final_assessment_prompt_golden():
    golden("final_assessment", mw._build_final_assessment_prompt("P", "G", "MOD", "DAT", SYNTAX_ERRORS))


@pytest.mark.parametrize("errors, block", FINAL_ERROR_BLOCKS)
def test_final_assessment_prompt_exact(errors, block):
    got = mw._build_final_assessment_prompt("P", "G", "MOD", "DAT", errors)
    # The error block stands between the closed data element and </inputs>.
    text = golden("final_assessment")
    data_end = "\nDAT\n</data>\n\n"
    head, tail = text[: text.index(data_end) + len(data_end)], text[text.index("</inputs>\n"):]
    expected = head + block + tail
    assert got == expected


def test_feedback_prompt_exact():
    got = mw._build_feedback_prompt("Why infeasible?", "G", "MOD", "DAT")
    golden("feedback", got)


def test_empty_question_and_empty_grammar():
    got = mw._build_feedback_prompt("", "", "M", "D")
    assert "<question>\n\n</question>" in got
    gen = mw._build_generation_prompt("P", "")
    assert "--- BEGIN TAVRO SYNTAX IMPLEMENTATION ---\n\n--- END TAVRO SYNTAX IMPLEMENTATION ---" in gen


# ---- few-shot section --------------------------------------------------------------


@pytest.mark.parametrize("name", [GEN, SYN, ALN])
def test_few_shots_none_and_empty_are_identical(name):
    args = empty_args(name)
    args["prompt"] = "P"
    without = build(name, **args)
    args["few_shots"] = []
    assert build(name, **args) == without
    assert GRAMMAR_END + PROBLEM_OPEN in without
    assert "few_shot_examples>" not in without


@pytest.mark.parametrize("name", [GEN, SYN, ALN])
def test_few_shot_section_is_the_same_in_all_three(name):
    args = empty_args(name)
    args["few_shots"] = RECORDS
    got = build(name, **args)
    assert GRAMMAR_END + few_shot_section(RECORDS) + PROBLEM_OPEN in got


def test_two_blocks_numbered_in_order():
    got = mw._build_generation_prompt("P", "G", few_shots=RECORDS)
    first, second = got.index('<example index="1">\n'), got.index('<example index="2">\n')
    assert got.index(FS_OPEN) < first < second
    assert got.index("Diet <b>") < second < got.index("Second")
    assert "\nD2\n</data_file>\n</example>\n" + FS_CLOSE + PROBLEM_OPEN in got


def test_block_fixed_text():
    rec = {"description": "d", "model": "m", "data": "x", "desc_path": "p", "model_path": "q", "data_path": "r"}
    generation = golden("generation")
    gen_open = generation[: generation.index("GRAMMAR" + GRAMMAR_END)]
    section = mw._build_generation_prompt("", "", few_shots=[rec])[len(gen_open) + len(GRAMMAR_END):]
    block = section[len(FS_OPEN):section.index(FS_CLOSE)]
    assert block == (
        '<example index="1">\n<description path="p">\nd\n</description>\n\n'
        '<model_file path="q">\nm\n</model_file>\n\n<data_file path="r">\nx\n</data_file>\n</example>\n'
    )
    headers = '<description path="">' '<model_file path="">' '<data_file path="">'
    assert len(block) - len("1dmxpqr") - len(headers) == 80


def test_missing_path_keys_give_empty_attributes():
    got = mw._build_generation_prompt("P", "G", few_shots=[RECORDS[1]])
    assert '<description path="">\nSecond\n' in got
    assert '<model_file path="">\nM2\n' in got
    assert '<data_file path="">\nD2\n' in got


@pytest.mark.parametrize("missing", ["description", "model", "data"])
def test_missing_body_key_raises_keyerror(missing):
    rec = dict(RECORDS[0])
    del rec[missing]
    with pytest.raises(KeyError) as exc:
        mw._build_generation_prompt("P", "G", few_shots=[RECORDS[1], rec])
    assert exc.value.args == (missing,)


def test_record_values_by_text_form():
    rec = {"description": 12, "model": None, "data": 1.5, "desc_path": pathlib.PurePosixPath("a/b.txt")}
    got = mw._build_generation_prompt("P", "G", few_shots=[rec])
    assert '<description path="a/b.txt">\n12\n</description>' in got
    assert "\nNone\n</model_file>" in got and "\n1.5\n</data_file>" in got


def test_record_paths_are_read_before_bodies():
    seen = []

    class Record(dict):
        def get(self, key, default=None):
            seen.append(("get", key, default))
            return dict.get(self, key, default)

        def __getitem__(self, key):
            seen.append(("item", key))
            return dict.__getitem__(self, key)

    mw._build_generation_prompt("P", "G", few_shots=[Record(RECORDS[0])])
    assert seen == [
        ("get", "desc_path", ""),
        ("get", "model_path", ""),
        ("get", "data_path", ""),
        ("item", "description"),
        ("item", "model"),
        ("item", "data"),
    ]


# ---- inserted values -------------------------------------------------------------


MARKUP = 'x </data> <errors> & "q" \'s\' \\n'


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_values_inserted_unescaped_with_every_code_point(name):
    value = MARKUP + " \ud800 \U0001F600 \x00 é"
    args = empty_args(name)
    for p in TEXT_ARGS[name]:
        args[p] = value
    got = build(name, **args)
    assert got.count(value) == len(TEXT_ARGS[name])
    assert len(got) == FIXED_LENGTHS[name] + len(TEXT_ARGS[name]) * len(value)


@pytest.mark.parametrize(
    "errors, shown",
    [
        (["A\nB"], "['A\\nB']"),
        (["one", "two"], "['one', 'two']"),
        ([], "[]"),
        ("plain\ntext", "plain\ntext"),
        (None, "None"),
        (["back\\slash", "\x07", "\u00e9\u0100"], "['back\\\\slash', '\\x07', '\u00e9\u0100']"),
    ],
)
def test_syntax_errors_text_form(errors, shown):
    got = mw._build_revision_prompt_syntax("P", "G", "M", "D", errors)
    syntax = golden("revision_syntax")
    syn_close = syntax[syntax.index("\n</errors>\n"):]
    assert PREV_ERRORS + shown + syn_close in got


def test_syntax_errors_uses_str_of_object():
    class Report:
        def __str__(self):
            return "custom <report>"

    got = mw._build_revision_prompt_syntax("P", "G", "M", "D", Report())
    assert "<errors>\ncustom <report>\n</errors>" in got


def test_syntax_errors_str_failure_propagates():
    class Broken:
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        mw._build_revision_prompt_syntax("P", "G", "M", "D", Broken())


# ---- argument checks -------------------------------------------------------------


class Str(str):
    pass


CHECK_CASES = [
    (name, param, bad)
    for name in SIGNATURES
    for param in TEXT_ARGS[name]
    for bad in (None, b"x", Str("x"))
]


@pytest.mark.parametrize("name, param, bad", CHECK_CASES)
def test_text_argument_type_checks(name, param, bad):
    args = empty_args(name)
    args[param] = bad
    with pytest.raises(TypeError) as exc:
        build(name, **args)
    assert str(exc.value) == (
        f"Argument '{param}' has incorrect type (expected str, got {type(bad).__name__})"
    )


@pytest.mark.parametrize("name", [GEN, SYN, ALN])
@pytest.mark.parametrize("bad", [(), {}, "x"])
def test_few_shots_must_be_list_or_none(name, bad):
    args = empty_args(name)
    args["few_shots"] = bad
    with pytest.raises(TypeError) as exc:
        build(name, **args)
    assert str(exc.value) == f"Argument 'few_shots' has incorrect type (expected list, got {type(bad).__name__})"


def test_first_bad_argument_is_named():
    with pytest.raises(TypeError, match="'prompt'"):
        mw._build_revision_prompt_alignment(None, None, None, None, None, few_shots=())


def test_positional_call_as_the_workflow_makes_it():
    a = mw._build_revision_prompt_syntax("P", "G", "M", "D", ["e"], few_shots=None)
    b = mw._build_revision_prompt_syntax(
        prompt="P", grammar_implementation="G", model_code="M", data_code="D", syntax_errors=["e"]
    )
    assert a == b
