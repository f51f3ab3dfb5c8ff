"""Every native function of the LLM glue against a straightforward pure-Python
twin of the same function, in one run.

    python benchmarks/twins.py [--rounds 7] [CASE-PREFIX ...]

Cases: the price list, relaxed JSON decoding, prompt building, the token
estimate, usage extraction, reply JSON extraction at several reply sizes and
one generative_solve iteration with instant fakes (the twin is the workflow
written in Python, calling the same module attributes). Each round times both
sides in alternating order; the ratio is Python time / native time, so 1.0x
or more means the native function is at least as fast. Printed per case: the
median ratio over the rounds and its spread (min-max), and both medians.
Every twin's result is checked against the native result first.
"""

import argparse
import builtins
import json
import os
import pathlib
import re
import statistics
import sys
import tempfile
import time
import types

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import pricing  # noqa: E402  (the pure-Python price-list reader)
import prompt_pieces as P  # noqa: E402

from tavro import modelwright as mw  # noqa: E402
from tavro import tokenmeter  # noqa: E402

# ---- twins -----------------------------------------------------------------

FENCE = re.compile(r"```(?:json)?\s*(\{.*\})\s*```", re.DOTALL)


def py_extract(text):
    if type(text) is not str:
        raise TypeError("text")
    m = FENCE.search(text)
    if m:
        return m.group(1)
    start = text.find("{")
    if start == -1:
        return text
    depth = 0
    for i in range(start, len(text)):
        c = text[i]
        if c == "{":
            depth += 1
        elif c == "}":
            depth -= 1
            if depth == 0:
                return text[start : i + 1]
    return text


def py_relaxed(text):
    if type(text) is not str:
        raise TypeError("text")
    try:
        obj = json.loads(text)
        if obj is not None and type(obj) is not dict:
            raise TypeError(f"Expected dict, got {type(obj).__name__}")
        return obj
    except Exception:
        obj = json.loads(py_extract(text))
        if obj is not None and type(obj) is not dict:
            raise TypeError(f"Expected dict, got {type(obj).__name__}")
        return obj


def py_generation_prompt(prompt, grammar_implementation, few_shots=None):
    if type(prompt) is not str or type(grammar_implementation) is not str:
        raise TypeError("prompt")
    return (P.GEN_OPEN + grammar_implementation + P.GRAMMAR_END + P.few_shot_section(few_shots or [])
            + P.PROBLEM_OPEN + prompt + P.GEN_CLOSE)


def py_approx_token_count(text):
    if type(text) is not str:
        raise TypeError("text")
    return max(0, (len(text) + 3) // 4)


def _lookup(container, key):
    if container is None:
        return None
    if isinstance(container, dict):
        return container.get(key)
    return getattr(container, key, None)


def py_extract_openai_usage(resp, input_text, output_text, model_name):
    prompt = completion = None
    try:
        usage = getattr(resp, "usage", None)
        if usage is None and isinstance(resp, dict):
            usage = resp.get("usage")
        prompt = _lookup(usage, "input_tokens") or _lookup(usage, "prompt_tokens")
        completion = _lookup(usage, "output_tokens") or _lookup(usage, "completion_tokens")
    except Exception:
        pass
    if prompt is None:
        prompt = tokenmeter._count_openai_tokens(input_text, model_name)
    if completion is None:
        completion = tokenmeter._count_openai_tokens(output_text, model_name)
    return tokenmeter._usage_dict(prompt, completion)


def py_generative_solve(prompt, model_file, data_file, model_name="gpt-5", mode=None, iterations=5,
                        return_statistics=False, alignment_check=None, temperature=None, stop=None,
                        llm_provider="openai", progress=None, few_shot=True):
    """The workflow in Python, calling the same module attributes at call time."""
    if temperature is not None and type(temperature) is not float:
        raise TypeError("temperature")
    if stop is not None and type(stop) is not list:
        raise TypeError("stop")
    if llm_provider is not None and type(llm_provider) is not str:
        raise TypeError("llm_provider")
    grammar_implementation = mw._get_grammar_implementation(mode)
    try:
        iterations = max(int(iterations), 1)
    except Exception:
        iterations = mw.MAX_ITERATIONS
    do_alignment = mw.ALIGNMENT_CHECK if alignment_check is None else bool(alignment_check)
    provider = mw._infer_provider(llm_provider, model_name)
    mw._notify(progress, f"Generating with provider={provider.value} model={model_name} "
                         f"iterations={iterations} alignment={'on' if do_alignment else 'off'}")
    few_shots = []
    if few_shot:
        few_shots = mw._gather_few_shots(prompt, k=mw.FEW_SHOT_TOP_K, models_dir=None, progress=progress)
    user_prompt = mw._build_generation_prompt(prompt, grammar_implementation, few_shots=few_shots)
    assessment, syntax_errors = "", []
    prompt_tokens = completion_tokens = 0
    model_code = data_code = ""
    r = 0
    for r in range(iterations):
        mw.logger.debug(f"Iteration {r + 1}/{iterations}")
        mw._notify(progress, f"Iteration {r + 1}/{iterations}: prompting model")
        content, usage = mw._llm_generate_text(
            provider=provider, model_name=model_name, input_text=user_prompt, max_tokens=mw.MAX_OUTPUT_TOKENS,
            temperature=temperature, stop=stop, progress=progress, capture_usage=True)
        prompt_tokens += usage.get("prompt_tokens", 0)
        completion_tokens += usage.get("completion_tokens", 0)
        if not content:
            raise RuntimeError("Empty model response.")
        try:
            obj = mw._json_loads_relaxed(content)
            model_code, data_code = obj["model"], obj["data"]
            mw._notify(progress, "LLM response parsed (model + data)")
            mw.logger.debug("Model and data generated.")
        except Exception as e:
            raise RuntimeError(f"Failed to parse model response as JSON: {e}\nResponse: {content}")
        compiler = mw.KelmCompiler()
        syntax_errors = []
        try:
            mw._notify(progress, "Compiling model and data")
            compiler.compile_model(model_code, data_code)
        except mw.SemanticError as e:
            syntax_errors.append(str(e))
            mw.logger.debug(f"Semantic error in model: {e}")
        except Exception as e:
            syntax_errors.append(f"{type(e).__name__}: {e}")
        for path in (model_file, data_file):
            folder = mw.os.path.dirname(path)
            if folder:
                mw.os.makedirs(folder, exist_ok=True)
        with open(model_file, "w") as f:
            f.write(model_code)
        with open(data_file, "w") as f:
            f.write(data_code)
        mw._notify(progress, f"Wrote files: {model_file} \u2022 {data_file}")
        if syntax_errors:
            mw._notify(progress, f"Syntax/semantic errors found: {len(syntax_errors)}; revising...")
            mw.logger.debug("Model or data has syntax errors; revising...")
            user_prompt = mw._build_revision_prompt_syntax(prompt, grammar_implementation, model_code, data_code,
                                                           syntax_errors, few_shots=few_shots)
            continue
        if not do_alignment:
            mw._notify(progress, "Syntax OK; alignment check disabled. Stopping.")
            break
        mw.logger.debug("Checking alignment with original prompt...")
        mw._notify(progress, "Checking alignment with original prompt...")
        alignment_prompt = mw._build_alignment_prompt(prompt, grammar_implementation, model_code, data_code)
        alignment_content, usage2 = mw._llm_generate_text(
            provider=provider, model_name=model_name, input_text=alignment_prompt, max_tokens=mw.MAX_OUTPUT_TOKENS,
            temperature=0.0 if temperature is not None else None, stop=stop, progress=progress, capture_usage=True)
        prompt_tokens += usage2.get("prompt_tokens", 0)
        completion_tokens += usage2.get("completion_tokens", 0)
        if not alignment_content:
            raise RuntimeError("Empty alignment response.")
        verdict = mw._json_loads_relaxed(alignment_content)
        aligned = verdict.get("aligned") if isinstance(verdict, dict) else None
        text = verdict.get("assessment") if isinstance(verdict, dict) else None
        if not isinstance(aligned, bool) or not isinstance(text, str):
            raise RuntimeError("Invalid alignment response JSON: " + alignment_content)
        assessment = text.strip()
        if aligned:
            mw._notify(progress, "Aligned \u2713 Stopping.")
            mw.logger.debug("Model and data are syntactically valid and aligned with the prompt.")
            break
        mw._notify(progress, "Not aligned; revising per assessment")
        user_prompt = mw._build_revision_prompt_alignment(prompt, grammar_implementation, assessment, model_code,
                                                          data_code, few_shots=few_shots)
    with open(model_file) as f:
        model_code = f.read()
    with open(data_file) as f:
        data_code = f.read()
    mw._notify(progress, "Generation complete")
    usage_summary = {"prompt_tokens": prompt_tokens, "completion_tokens": completion_tokens}
    try:
        estimated_costs = mw._estimate_costs(types.SimpleNamespace(model=model_name), usage_summary) or {}
    except Exception:
        estimated_costs = {}
    cost = {"model": model_name, "usage": usage_summary, "estimated_costs": estimated_costs}
    mw._notify(progress, f"[LLM] Estimated costs: {cost}")
    if not return_statistics:
        return assessment.strip()
    return {"iterations": r + 1, "assessment": assessment.strip(), "syntax_errors": syntax_errors, "cost": cost}


# ---- cases -------------------------------------------------------------------


def fenced_reply(size):
    """A typical generation reply of about `size` characters: prose, then a fenced JSON block."""
    body = "x = 1;\n" * max(1, size // 9)
    payload = json.dumps({"model": body, "data": "a = 1;"})
    return "Here is the model and data you asked for.\n\n```json\n" + payload + "\n```\n"


class MemoryFile:
    """builtins.open that keeps the workflow's two files in memory (other paths: the real open)."""

    files = {}
    real_open = builtins.open

    def __init__(self, path, mode):
        self.path, self.mode = path, mode

    @classmethod
    def open(cls, path, mode="r", *args, **kwargs):
        if path in cls.files:
            return cls(path, mode)
        return cls.real_open(path, mode, *args, **kwargs)

    def read(self):
        return self.files[self.path]

    def write(self, text):
        self.files[self.path] = text
        return len(text)

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class InstantRig:
    """Instant stand-ins for the collaborators that would call out (LLM, compiler, grammar files,
    pricing, the disk behind open()); prompt builders and reply parsing stay real."""

    NAMES = ("_llm_generate_text", "KelmCompiler", "_get_grammar_implementation", "_estimate_costs")

    def __init__(self):
        self.saved = {name: getattr(mw, name) for name in self.NAMES}
        self.saved_open = builtins.open
        builtins.open = MemoryFile.open
        self.reply_size(100)
        state = {"i": 0}

        def llm(**kwargs):
            reply = self.replies[state["i"] % 2]
            state["i"] += 1
            return reply

        class Compiler:
            def compile_model(self, model_code, data_code):
                return None

        mw._llm_generate_text = llm
        mw.KelmCompiler = Compiler
        mw._get_grammar_implementation = lambda mode: "GRAMMAR"
        mw._estimate_costs = lambda args, usage: {"total_cost": 0.0}

    def reply_size(self, size):
        """Generation replies of about `size` characters: a fenced block after a line of prose."""
        usage = {"prompt_tokens": 10, "completion_tokens": 5}
        verdict = json.dumps({"aligned": True, "assessment": " fine "})
        self.replies = [(fenced_reply(size), usage), (verdict, usage)]

    def restore(self):
        for name, value in self.saved.items():
            setattr(mw, name, value)
        builtins.open = self.saved_open


def cases(folder, rig):
    price_list = str(pricing.DEFAULT_LIST)

    def native_pricing():
        tokenmeter.clear_pricing_cache()
        return tokenmeter._parse_pricing(price_list)

    yield "price list", native_pricing, lambda: pricing.parse_pricing_file(price_list), 20
    relaxed = fenced_reply(20_000)
    yield "relaxed JSON 20k", lambda: mw._json_loads_relaxed(relaxed), lambda: py_relaxed(relaxed), 200
    grammar = "rule ::= term\n" * 200
    shots = [{"description": "d" * 300, "model": "m" * 600, "data": "a = 1;", "desc_path": "x/d.txt",
              "model_path": "x/d.mod", "data_path": "x/d.dat"}] * 3
    yield ("generation prompt", lambda: mw._build_generation_prompt("Plan a diet.", grammar, few_shots=shots),
           lambda: py_generation_prompt("Plan a diet.", grammar, few_shots=shots), 2000)
    text = "token " * 100
    yield "token estimate", lambda: tokenmeter._approx_token_count(text), lambda: py_approx_token_count(text), 20000
    resp = types.SimpleNamespace(usage=types.SimpleNamespace(input_tokens=120, output_tokens=30))
    yield ("usage extraction", lambda: tokenmeter._extract_openai_usage(resp, "in", "out", "gpt-5"),
           lambda: py_extract_openai_usage(resp, "in", "out", "gpt-5"), 20000)
    for size in (1_000, 7_000, 28_000, 200_000):
        reply = fenced_reply(size)
        yield (f"reply JSON {len(reply) / 1000:.1f}k", lambda r=reply: mw.extract_json_from_markdown(r),
               lambda r=reply: py_extract(r), max(20, 2_000_000 // size))
    model_file, data_file = os.path.join(folder, "out", "m.mod"), os.path.join(folder, "out", "m.dat")
    MemoryFile.files.update({model_file: "", data_file: ""})
    args = ("Plan a diet.", model_file, data_file)
    for size in (1_000, 7_000, 28_000):
        rig.reply_size(size)
        yield (f"generative_solve reply {size // 1000}k",
               lambda: mw.generative_solve(*args, iterations=1, return_statistics=True, few_shot=False),
               lambda: py_generative_solve(*args, mode=mw.Grammar.BNF, iterations=1, return_statistics=True,
                                           few_shot=False), 300)


def block_seconds(fn, count):
    start = time.perf_counter()
    for _ in range(count):
        fn()
    return (time.perf_counter() - start) / count


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7, help="alternating rounds per case")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the calls per round")
    parser.add_argument("only", nargs="*", help="run only the cases whose names start with these")
    opts = parser.parse_args(argv)

    rig = InstantRig()
    try:
        with tempfile.TemporaryDirectory() as folder:
            print(f"{'case':28} {'ratio':>7} {'spread':>13} {'native':>11} {'python':>11}")
            for name, native, twin, count in cases(folder, rig):
                if opts.only and not any(name.startswith(p) for p in opts.only):
                    continue
                if native() != twin():
                    raise SystemExit(f"{name}: native and Python results differ")
                count = max(1, int(count * opts.scale))
                ratios, n_times, p_times = [], [], []
                for i in range(opts.rounds):
                    order = (native, twin) if i % 2 == 0 else (twin, native)
                    seconds = {fn: block_seconds(fn, count) for fn in order}
                    n_times.append(seconds[native])
                    p_times.append(seconds[twin])
                    ratios.append(seconds[twin] / seconds[native])
                print(f"{name:28} {statistics.median(ratios):6.2f}x {min(ratios):5.2f}-{max(ratios):5.2f}x "
                      f"{statistics.median(n_times) * 1e6:9.2f}us {statistics.median(p_times) * 1e6:9.2f}us")
    finally:
        rig.restore()


if __name__ == "__main__":
    main()
