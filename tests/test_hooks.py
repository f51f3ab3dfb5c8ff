"""tavro._hooks: layers on modelwright's attributes compose in their stated
order, keep to their thread unless told otherwise, and leave the module as
they found it; record/replay tells concurrent candidates apart."""

import contextlib
import json
import tempfile
import threading
import types

import pytest

from tavro import _deadline, _hooks, modelwright
from workflow_fakes import Recorder


def fake_llm(**kwargs):
    n = len(kwargs["input_text"])
    usage = {"prompt_tokens": n, "completion_tokens": 1}
    return ("text:" + kwargs["input_text"], usage) if kwargs.get("capture_usage") else "text:" + kwargs["input_text"]


@pytest.fixture
def llm(monkeypatch):
    monkeypatch.setattr(modelwright, "_llm_generate_text", fake_llm)
    return fake_llm


def tracer(name, log):
    def layer(call, **kwargs):
        log.append(name + ">")
        result = call(**kwargs)
        log.append("<" + name)
        return result

    return layer


ORDERS = {"deadline": _hooks.DEADLINE, "progress": _hooks.PROGRESS, "meter": _hooks.METERING,
          "tape": _hooks.RECORDING}


@pytest.mark.parametrize("entered, outermost_first", [
    (["deadline", "progress", "meter", "tape"], ["deadline", "progress", "meter", "tape"]),
    (["tape", "meter", "progress", "deadline"], ["deadline", "progress", "meter", "tape"]),
    (["meter", "tape", "deadline", "progress"], ["deadline", "progress", "meter", "tape"]),
    (["progress", "progress2", "meter"], ["progress", "progress2", "meter"]),  # same order: first entered is outer
    (["progress2", "progress"], ["progress2", "progress"]),
])
def test_layers_compose_in_the_stated_order(llm, entered, outermost_first):
    log = []
    with contextlib.ExitStack() as stack:
        for name in entered:
            order = ORDERS[name.rstrip("2")]
            stack.enter_context(_hooks.llm_call(tracer(name, log), order=order))
        assert modelwright._llm_generate_text(provider="p", model_name="m", input_text="x") == "text:x"
    assert log == [n + ">" for n in outermost_first] + ["<" + n for n in reversed(outermost_first)]
    assert modelwright._llm_generate_text is fake_llm


def test_layers_see_the_usage_and_the_caller_gets_what_it_asked_for(llm):
    seen = []

    def progress(call, **kwargs):
        result = call(**kwargs)
        seen.append(result)
        return result

    with _hooks.llm_call(progress, order=_hooks.PROGRESS):
        assert modelwright._llm_generate_text(provider="p", model_name="m", input_text="ab") == "text:ab"
        with _hooks.metering() as meter:
            assert modelwright._llm_generate_text(provider="p", model_name="m", input_text="abc") == "text:abc"
            # Positional arguments reach the layers as keywords.
            assert modelwright._llm_generate_text("p", "m", "abcd", None, None, None, None, True) == (
                "text:abcd", {"prompt_tokens": 4, "completion_tokens": 1})
    assert seen == [("text:ab", {"prompt_tokens": 2, "completion_tokens": 1}),
                    ("text:abc", {"prompt_tokens": 3, "completion_tokens": 1}),
                    ("text:abcd", {"prompt_tokens": 4, "completion_tokens": 1})]
    assert meter.usage == {"prompt_tokens": 7, "completion_tokens": 2} and meter.calls == 2


def test_a_layer_keeps_to_its_thread_unless_every_thread(llm):
    log = []
    mine = tracer("mine", log)
    everyone = tracer("everyone", log)
    with _hooks.llm_call(mine, order=_hooks.PROGRESS), \
            _hooks.llm_call(everyone, order=_hooks.DEADLINE, every_thread=True):
        other = threading.Thread(target=modelwright._llm_generate_text,
                                 kwargs={"provider": "p", "model_name": "m", "input_text": "x"})
        other.start()
        other.join()
        assert log == ["everyone>", "<everyone"]
        modelwright._llm_generate_text(provider="p", model_name="m", input_text="x")
        assert log[2:] == ["everyone>", "mine>", "<mine", "<everyone"]


def test_hooks_meter_per_thread_and_never_clobber_another_wrapper(monkeypatch):
    def fake(**kwargs):
        n = len(kwargs["input_text"])
        usage = {"prompt_tokens": n, "completion_tokens": 1}
        return ("text", usage) if kwargs["capture_usage"] else "text"

    monkeypatch.setattr(modelwright, "_llm_generate_text", fake)
    meters = {}

    def work(name, size):
        with _hooks.metering() as meter:
            for _ in range(50):
                # A caller that asks for no usage still gets just the text.
                assert modelwright._llm_generate_text(input_text="x" * size, capture_usage=False) == "text"
        meters[name] = meter.usage

    threads = [threading.Thread(target=work, args=(i, i + 1)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert meters == {i: {"prompt_tokens": 50 * (i + 1), "completion_tokens": 50} for i in range(4)}
    assert modelwright._llm_generate_text is fake
    # Someone else wraps on top while a layer is in place: leaving leaves their wrapper in place.
    theirs = lambda **kwargs: "theirs"  # noqa: E731
    with _hooks.metering():
        modelwright._llm_generate_text = theirs
    assert modelwright._llm_generate_text is theirs


def test_a_deadline_worker_carries_the_callers_layers(llm):
    # Off the main thread the deadline runs the rest of the call on a worker;
    # the meter and tape of the calling thread still see it.
    outcome = {}

    def job(tmp):
        with _deadline.llm_deadline(5), _hooks.metering() as meter, _hooks.taping(_hooks.Recording(tmp)):
            modelwright._llm_generate_text(provider="p", model_name="m", input_text="abc", capture_usage=False)
        outcome["usage"] = meter.usage

    with tempfile.TemporaryDirectory() as folder:
        thread = threading.Thread(target=job, args=(folder + "/tape.jsonl",))
        thread.start()
        thread.join(10)
        with open(folder + "/tape.jsonl") as f:
            (line,) = f.read().splitlines()
    assert outcome["usage"] == {"prompt_tokens": 3, "completion_tokens": 1}
    assert json.loads(line)["reply"] == "text:abc"
    assert modelwright._llm_generate_text is fake_llm


def test_wrapping_restores_after_an_error_and_nesting(llm, monkeypatch):
    listing = Recorder(["m1"])
    monkeypatch.setattr(modelwright, "list_models", listing)
    with pytest.raises(ZeroDivisionError):
        with _hooks.wrapping(modelwright, "list_models", lambda call, *a, **k: ["wrapped", *call(*a, **k)],
                             order=_hooks.DEADLINE):
            with _hooks.metering():
                assert modelwright.list_models("ollama") == ["wrapped", "m1"]
                1 / 0
    assert modelwright.list_models is listing and modelwright._llm_generate_text is fake_llm


def test_setting_restores_the_value_or_its_absence():
    module = types.ModuleType("settings_demo")
    module.URL = "before"
    with pytest.raises(KeyError):
        with _hooks.setting(module, "URL", "during"), _hooks.setting(module, "NEW", 1):
            assert (module.URL, module.NEW) == ("during", 1)
            raise KeyError("x")
    assert module.URL == "before" and not hasattr(module, "NEW")


# ---- record and replay with candidates -----------------------------------------

def test_candidates_record_into_one_file_and_replay_apart(monkeypatch, tmp_path):
    def provider(**kwargs):
        # Same prompt for every candidate; the reply tells which thread asked.
        return (threading.current_thread().name, {"prompt_tokens": 5, "completion_tokens": 2})

    monkeypatch.setattr(modelwright, "_llm_generate_text", provider)
    path = tmp_path / "tape.jsonl"
    recording = _hooks.Recording(path)

    def candidate(k, tape, results):
        with _hooks.taping(tape, candidate=k):
            for _ in range(20):
                results.append((k, modelwright._llm_generate_text(provider="openai", model_name="m",
                                                                  input_text="same prompt")))

    def run_all(tape):
        results = []
        threads = [threading.Thread(target=candidate, args=(k, tape, results), name="c%d" % k) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return results

    run_all(recording)
    entries = [json.loads(line) for line in path.read_text().splitlines()]  # whole lines, none interleaved
    assert len(entries) == 80
    assert all(e["reply"] == "c%d" % e["candidate"] for e in entries)

    def offline(**kwargs):
        raise AssertionError("no network")

    monkeypatch.setattr(modelwright, "_llm_generate_text", offline)
    replayed = run_all(_hooks.Replay(path))
    assert sorted(replayed) == sorted((k, "c%d" % k) for k in range(4) for _ in range(20))

    with pytest.raises(_hooks.ReplayMiss) as info, _hooks.taping(_hooks.Replay(path), candidate=7):
        modelwright._llm_generate_text(provider="openai", model_name="m", input_text="same prompt")
    assert str(info.value).startswith("LLM call not in the recording %s: openai m, candidate 7, prompt sha256 "
                                      % path)


def test_a_recording_without_candidates_keeps_its_lines(llm, tmp_path):
    path = tmp_path / "t.jsonl"
    with _hooks.taping(_hooks.Recording(path)):
        modelwright._llm_generate_text(provider=modelwright.LLMProvider.OPENAI, model_name="gpt-5", input_text="hi",
                                       max_tokens=None, temperature=0.2, stop=None, progress=None,
                                       capture_usage=False)
    (entry,) = [json.loads(line) for line in path.read_text().splitlines()]
    assert entry == {"provider": "openai", "model": "gpt-5",
                     "parameters": {"max_tokens": None, "temperature": 0.2, "stop": None}, "prompt": "hi",
                     "reply": "text:hi", "usage": {"prompt_tokens": 2, "completion_tokens": 1}}


def test_candidate_threads_adopt_their_starters_layers(monkeypatch, tmp_path):
    monkeypatch.setattr(modelwright, "_llm_generate_text", fake_llm)
    path = tmp_path / "tape.jsonl"
    with _deadline.llm_deadline(5), _hooks.metering() as meter, _hooks.taping(_hooks.Recording(path)):
        state = _hooks.handover()

        def run(k):
            # Off the main thread the deadline moves each call to a worker: the number goes along.
            with _hooks.adopted(state), _hooks.candidate(k):
                assert _hooks.current_candidate() == k
                modelwright._llm_generate_text(provider="p", model_name="m", input_text="x" * k)

        threads = [threading.Thread(target=run, args=(k,)) for k in (1, 2, 3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        modelwright._llm_generate_text(provider="p", model_name="m", input_text="main")
    assert meter.usage == {"prompt_tokens": 1 + 2 + 3 + 4, "completion_tokens": 4}
    entries = [json.loads(line) for line in path.read_text().splitlines()]
    assert sorted((e.get("candidate"), e["prompt"]) for e in entries if "candidate" in e) == [
        (k, "x" * k) for k in (1, 2, 3)]
    assert [e["prompt"] for e in entries if "candidate" not in e] == ["main"]
    assert modelwright._llm_generate_text is fake_llm and _hooks.current_candidate() is None
