"""Records what tavro._kelm.compile and tavro._kelm.instantiate return for
every model the test suite compiles, and checks a later build against the
record: the same Python values (repr shows an int 10 against a float 10.0,
-0.0, key order) and the same error messages.

    # record with the build before a change (a pytest plugin):
    cd tests && PYTHONPATH=../scripts TAVRO_RECORD=/tmp/before.jsonl \\
        ../.venv/bin/pytest -c ../pyproject.toml --rootdir .. -p compiled_values -q .
    # after the change:
    .venv/bin/python scripts/compiled_values.py /tmp/before.jsonl
"""

import json
import os
import sys


def _text(value):
    """repr of nested lists and dicts, without recursion (trees can be deep)."""
    out, stack = [], [value]
    while stack:
        v = stack.pop()
        if v is _END_LIST or v is _END_DICT:
            out.append("]" if v is _END_LIST else "}")
        elif isinstance(v, list):
            stack.append(_END_LIST)
            stack.extend(reversed(v))
            out.append("[")
        elif isinstance(v, dict):
            stack.append(_END_DICT)
            for k, x in reversed(list(v.items())):
                stack.append(x)
                stack.append(repr(k) + ":")
                stack.append(_KEY)
            out.append("{")
        elif v is _KEY:
            out.append(stack.pop())
        else:
            out.append(repr(v))
    return " ".join(out)


_END_LIST, _END_DICT, _KEY = object(), object(), object()


def _outcome(fn, model, data):
    try:
        result = fn(model, data)
    except Exception as e:  # noqa: BLE001 - the message is the outcome
        return f"{type(e).__name__}: {e}"
    if isinstance(result, dict) and "indptr" in result:  # numpy arrays of a grounded problem
        result = {k: [v.dtype.str, v.tolist()] if hasattr(v, "dtype") else v for k, v in result.items()}
    return _text(result)


def pytest_configure(config):
    path = os.environ.get("TAVRO_RECORD")
    if not path:
        return
    from tavro import _kelm

    seen = set()
    out = open(path, "a", encoding="utf-8")  # noqa: SIM115 - open for the whole run

    def wrap(name):
        real = getattr(_kelm, name)

        def recorded(model_code, data_code):
            if isinstance(model_code, str) and isinstance(data_code, str) and (name, model_code, data_code) not in seen:
                seen.add((name, model_code, data_code))
                out.write(json.dumps({"fn": name, "model": model_code, "data": data_code,
                                      "outcome": _outcome(real, model_code, data_code)}) + "\n")
                out.flush()
            return real(model_code, data_code)

        setattr(_kelm, name, recorded)

    wrap("compile")
    wrap("instantiate")


def check(path):
    from tavro import _kelm

    cases = differ = 0
    with open(path, encoding="utf-8") as f:
        for line in f:
            rec = json.loads(line)
            cases += 1
            got = _outcome(getattr(_kelm, rec["fn"]), rec["model"], rec["data"])
            if got != rec["outcome"]:
                differ += 1
                print(f"DIFFERS ({rec['fn']}):\n  model {rec['model'][:200]!r}\n  data {rec['data'][:200]!r}\n"
                      f"  before {rec['outcome'][:300]}\n  after  {got[:300]}")
    print(f"{cases} recorded compiles, {differ} differ")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(check(sys.argv[1]))
