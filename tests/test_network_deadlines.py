"""Every network path ends in bounded time: the price-list fetch as a whole,
and each LLM call made under tavro._deadline.llm_deadline (the command line's
--timeout), against servers that stall, drip or send too much."""

import json
import logging
import os
import subprocess
import sys
import threading
import time

import pytest

from slow_server import SlowServer
from tavro import _deadline, tokenmeter
from workflow_fakes import Recorder

MARGIN = 1.0  # seconds allowed beyond a time-out
BOUND = 0.2  # the time-out of these tests


@pytest.fixture
def fetch(monkeypatch, caplog):
    """_parse_pricing(url) with a 0.2-second fetch time-out: (table, warning, seconds taken)."""
    monkeypatch.setattr(tokenmeter, "_FETCH_TIMEOUT", BOUND)
    tokenmeter.clear_pricing_cache()

    def run(url):
        caplog.clear()
        start = time.monotonic()
        with caplog.at_level(logging.WARNING, logger="tavro.tokenmeter"):
            table = tokenmeter._parse_pricing(url)
        warnings = [r.getMessage() for r in caplog.records if r.name == "tavro.tokenmeter"]
        return table, warnings, time.monotonic() - start

    yield run
    tokenmeter.clear_pricing_cache()


@pytest.mark.parametrize("mode", ["stall", "header-drip", "body-drip"])
def test_price_list_fetch_is_bounded_as_a_whole(fetch, mode):
    # A drip faster than the time-out of each socket read (the same 0.2 s).
    with SlowServer(mode, pace=0.02) as server:
        url = server.url + "/pricing_table.md"
        table, warnings, took = fetch(url)
    assert table == {} and took < BOUND + MARGIN
    (warning,) = warnings
    assert warning.startswith("Failed to load pricing from %s: " % url)
    if mode != "stall":  # a stall may also end in the socket's own time-out
        assert warning.endswith(": the price list did not arrive within 0.2 seconds")


@pytest.mark.parametrize("cap, size, parsed", [
    (None, 32 * 1024 * 1024 + 1, False),
    (1000, 1001, False),
    (1000, 1000, True),
])
def test_price_list_body_over_the_cap_is_a_read_failure(fetch, monkeypatch, cap, size, parsed):
    monkeypatch.setattr(tokenmeter, "_FETCH_TIMEOUT", 20)
    if cap is not None:
        monkeypatch.setattr(tokenmeter, "_FETCH_MAX_BYTES", cap)
    with SlowServer("giant", size=size) as server:
        table, warnings, _ = fetch(server.url + "/p.md")
    if parsed:
        assert table == {"gpt-x": {"prompt_per_1M": 1.0, "completion_per_1M": None}} and warnings == []
    else:
        assert table == {}
        (warning,) = warnings
        assert warning.endswith(": the price list is larger than %d bytes" % (cap or 32 * 1024 * 1024))


# ---- LLM calls, through the real client packages -------------------------

CHILD = """
import importlib, json, sys, time
from tavro import _deadline, modelwright
provider = getattr(modelwright.LLMProvider, sys.argv[1])
# The deadline is for the request, not for a slow first import or client.
importlib.import_module(provider.value)
if provider is modelwright.LLMProvider.OPENAI:  # one request that fails at once builds what requests need
    import openai
    try:
        openai.OpenAI(base_url="http://127.0.0.1:9/v1", max_retries=0).responses.create(model="m", input="hi")
    except openai.APIConnectionError:
        pass
start = time.monotonic()
try:
    with _deadline.llm_deadline(float(sys.argv[2])):
        modelwright._llm_generate_text(provider=provider, model_name=sys.argv[3], input_text="hi",
                                       progress=print)
    outcome = "returned"
except Exception as e:
    outcome = "%s: %s" % (type(e).__name__, e)
print(json.dumps({"seconds": time.monotonic() - start, "outcome": outcome}))
"""


@pytest.mark.parametrize("provider, model, address", [
    ("OPENAI", "gpt-5", "http://{}/v1"),
    ("OLLAMA", "llama3", "{}"),
])
@pytest.mark.parametrize("mode", ["stall", "body-drip"])
def test_llm_call_ends_at_its_deadline(provider, model, address, mode):
    pytest.importorskip(provider.lower())
    with SlowServer(mode, pace=0.1) as server:
        env = dict(os.environ, OPENAI_API_KEY="sk-test", OPENAI_BASE_URL="%s/v1" % server.url,
                   OLLAMA_HOST=server.host)
        proc = subprocess.run([sys.executable, "-c", CHILD, provider, str(BOUND), model], env=env,
                              capture_output=True, text=True, timeout=60)
        hits = server.hits
    assert proc.returncode == 0, proc.stderr[-800:]
    result = json.loads(proc.stdout.splitlines()[-1])
    assert result["outcome"] == (
        "LLMTimeoutError: no reply from %s (model %s, address %s) within 0.2 s; set --timeout or TAVRO_LLM_TIMEOUT "
        "to wait longer" % (provider.lower(), model, address.format(server.host)))
    assert result["seconds"] < BOUND + MARGIN and hits >= 1


# ---- the helper -----------------------------------------------------------

def deadline_cases():
    assert _deadline.call_with_deadline(lambda a, b=0: a + b, 1, None, 2, b=3) == 5
    error = KeyError("k")
    with pytest.raises(KeyError) as info:
        _deadline.call_with_deadline(lambda: (_ for _ in ()).throw(error), 1, None)
    assert info.value is error
    start = time.monotonic()
    with pytest.raises(TimeoutError, match="^slow$"):
        _deadline.call_with_deadline(time.sleep, 0.2, lambda: TimeoutError("slow"), 5)
    assert time.monotonic() - start < 0.2 + MARGIN
    return threading.current_thread().name


def swallowing_sleep(seconds):
    # Code that swallows the first interrupt: a second one follows.
    try:
        time.sleep(seconds)
    except BaseException:
        pass
    time.sleep(seconds)


@pytest.mark.parametrize("where", ["main thread", "other thread"])
def test_call_with_deadline_result_error_and_time_out(where):
    if where == "main thread":
        assert deadline_cases() == "MainThread"
        with pytest.raises(TimeoutError):
            _deadline.call_with_deadline(swallowing_sleep, 0.1, TimeoutError, 5)
    else:
        done = []
        thread = threading.Thread(target=lambda: done.append(deadline_cases()), name="caller")
        thread.start()
        thread.join(10)
        assert done == ["caller"]


def test_nested_deadlines_keep_the_outer_one():
    inner = lambda: _deadline.call_with_deadline(lambda: "quick", 5, None)  # noqa: E731
    start = time.monotonic()
    with pytest.raises(TimeoutError, match="outer"):
        _deadline.call_with_deadline(lambda: (inner(), time.sleep(5)), 0.3, lambda: TimeoutError("outer"))
    assert time.monotonic() - start < 0.3 + MARGIN
    with pytest.raises(TimeoutError, match="inner"):
        _deadline.call_with_deadline(
            lambda: _deadline.call_with_deadline(time.sleep, 0.1, lambda: TimeoutError("inner"), 5), 5, None)


def test_llm_deadline_wraps_and_restores(monkeypatch):
    from tavro import modelwright

    seen = []
    fake = Recorder(lambda **kw: seen.append(threading.current_thread().name) or ("text", {}))
    listing = Recorder(["m1"])
    monkeypatch.setattr(modelwright, "_llm_generate_text", fake)
    monkeypatch.setattr(modelwright, "list_models", listing)
    with pytest.raises(ZeroDivisionError):
        with _deadline.llm_deadline(5):
            assert modelwright._llm_generate_text(provider="p", model_name="m", input_text="x") == ("text", {})
            assert modelwright.list_models("ollama", "llama3") == ["m1"]
            1 / 0
    assert modelwright._llm_generate_text is fake and modelwright.list_models is listing
    assert fake.calls == [((), {"provider": "p", "model_name": "m", "input_text": "x"})]
    assert listing.calls == [(("ollama", "llama3"), {})]
    assert seen == ["MainThread"]  # interrupted where it blocks, not abandoned on a worker


def test_late_progress_of_an_abandoned_call_is_dropped(monkeypatch):
    from tavro import modelwright

    release, finished = threading.Event(), threading.Event()

    def slow(**kwargs):
        kwargs["progress"]("early")
        release.wait(60)  # until the caller has given up on it
        kwargs["progress"]("late")
        finished.set()

    messages, outcome = [], []
    monkeypatch.setattr(modelwright, "_llm_generate_text", slow)
    monkeypatch.setenv("OLLAMA_HOST", "127.0.0.1:9")

    def caller():  # off the main thread the call is abandoned on a worker, not interrupted
        with _deadline.llm_deadline(0.2):
            try:
                modelwright._llm_generate_text(provider=modelwright.LLMProvider.OLLAMA, model_name="qwen2",
                                               input_text="x", progress=messages.append)
            except BaseException as e:
                outcome.append(e)

    thread = threading.Thread(target=caller)
    thread.start()
    thread.join(60)
    release.set()
    assert finished.wait(60)
    assert messages == ["early"]
    assert [type(e) for e in outcome] == [_deadline.LLMTimeoutError]
    assert str(outcome[0]).startswith("no reply from ollama (model qwen2, address 127.0.0.1:9) within 0.2 s;")


@pytest.mark.parametrize("value, env, expected", [
    (None, None, 300.0),
    (None, "2.5", 2.5),
    (7, "2.5", 7.0),
    (0, None, "--timeout must be a positive number of seconds, not 0"),
    (float("inf"), None, "--timeout must be a positive number of seconds, not inf"),
    (None, "soon", "TAVRO_LLM_TIMEOUT must be a positive number of seconds, not 'soon'"),
    (None, "nan", "TAVRO_LLM_TIMEOUT must be a positive number of seconds, not 'nan'"),
])
def test_llm_timeout_sources(monkeypatch, value, env, expected):
    if env is None:
        monkeypatch.delenv("TAVRO_LLM_TIMEOUT", raising=False)
    else:
        monkeypatch.setenv("TAVRO_LLM_TIMEOUT", env)
    if isinstance(expected, str):
        with pytest.raises(ValueError) as info:
            _deadline.llm_timeout(value)
        assert str(info.value) == expected
    else:
        assert _deadline.llm_timeout(value) == expected
