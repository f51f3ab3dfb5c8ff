"""Candidates that must agree, on the bundled benchmark against a loopback
modeller that answers each call after a provider-like latency.

1. Wall time and tokens of `tavro eval --candidates 3` against
   `--candidates 1` (--jobs 1, the same run, interleaved): median of the
   rounds with their spread, and the ratios. Candidates run at once, so the
   wall time should stay close to one candidate's while tokens triple.
2. Calibration: a modeller that is wrong on a known subset (all three
   candidates wrong on some problems, two of three on others, one of three
   on others) and the summary figures that tell a user how far an agreeing
   answer can be trusted.

    python benchmarks/candidates.py [--rounds 5] [--latency 0.25]
"""

import argparse
import collections
import json
import os
import pathlib
import statistics
import sys
import tempfile
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from stub_server import Reply, StubServer  # noqa: E402

GOLD = ROOT / "tests" / "data" / "benchmark_gold"


def pair(problem_id):
    return json.dumps({"model": (GOLD / (problem_id + ".mod")).read_text(),
                       "data": (GOLD / (problem_id + ".dat")).read_text()})


def modeller(replies, latency):
    """Answers a generation prompt with the next of its question's replies."""
    served = collections.Counter()
    lock = threading.Lock()

    def respond(request):
        prompt = request.json["input"]
        if "Assess whether the generated Tavro model" in prompt:
            text = json.dumps({"aligned": True, "assessment": "Matches."})
        elif "Answer the user's question" in prompt:
            text = json.dumps({"feedback": "The model is right."})
        elif "were written independently for the same optimisation problem" in prompt:
            text = "The readings differ in the data."
        else:
            found = [q for q in replies if q in prompt]
            if found:
                question = max(found, key=len)
                with lock:
                    turn = served[question]
                    served[question] += 1
                text = replies[question][turn % len(replies[question])]
            else:
                text = "?"
        if latency:
            time.sleep(latency)
        return Reply.openai_text(text, 1000, 200)

    return respond


def spread(values):
    return "%.2f s (%.2f-%.2f)" % (statistics.median(values), min(values), max(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5, help="runs of each timing (median and range shown)")
    parser.add_argument("--latency", type=float, default=0.25, help="seconds the stub waits before each reply")
    args = parser.parse_args()
    from tavro import evaluation, tokenmeter

    tokenmeter.PRICING_URL = str(ROOT / "tests" / "data" / "pricing_table.md")
    problems = evaluation.load_dataset(evaluation.bundled_benchmark())
    gold = {p.question: [pair(p.id)] for p in problems}
    with StubServer() as stub, tempfile.TemporaryDirectory() as tmp:
        os.environ["OPENAI_BASE_URL"] = stub.openai_base_url
        os.environ["OPENAI_API_KEY"] = "sk-bench"
        stub.set_default("POST", "/v1/responses", modeller(gold, 0.0))
        evaluation.evaluate(problems[:1], os.path.join(tmp, "warm.jsonl"), candidates=3)  # imports, ranker, prices

        stub.set_default("POST", "/v1/responses", modeller(gold, args.latency))
        walls = {1: [], 3: []}
        tokens = {}
        for r in range(args.rounds):
            for k in (1, 3):
                summary = evaluation.evaluate(problems, os.path.join(tmp, "r%d-k%d.jsonl" % (r, k)), candidates=k)
                assert summary["correct"] == len(problems), summary
                walls[k].append(summary["wall_seconds"])
                tokens[k] = summary["prompt_tokens"] + summary["completion_tokens"]

        # Wrong on a known subset: another problem's pair is a wrong answer.
        ids = [p.id for p in problems]
        wrong_pair = {p.id: pair(ids[(i + 1) % len(ids)]) for i, p in enumerate(problems)}
        plan = {}  # problem id -> how many of the three candidates are wrong
        for i, p in enumerate(problems):
            plan[p.id] = {0: 3, 1: 2, 2: 1}.get(i % 4, 0)
        replies = {p.question: [wrong_pair[p.id]] * plan[p.id] + [pair(p.id)] * (3 - plan[p.id]) for p in problems}
        stub.set_default("POST", "/v1/responses", modeller(replies, 0.0))
        calibration = evaluation.evaluate(problems, os.path.join(tmp, "calibration.jsonl"), candidates=3, jobs=4)

    print("problems: %d (bundled benchmark), stub latency %.2f s per call, --jobs 1, %d rounds"
          % (len(problems), args.latency, args.rounds))
    w1, w3 = statistics.median(walls[1]), statistics.median(walls[3])
    print("wall time --candidates 1: %s   --candidates 3: %s   ratio %.2f" % (spread(walls[1]), spread(walls[3]),
                                                                            w3 / w1))
    print("tokens    --candidates 1: %d   --candidates 3: %d   ratio %.2f" % (tokens[1], tokens[3],
                                                                            tokens[3] / tokens[1]))
    counts = collections.Counter(plan.values())
    print("calibration: wrong candidates per problem (of 3): %s" % ", ".join(
        "%d on %d problems" % (n, counts[n]) for n in sorted(counts)))
    c = calibration
    print("  accuracy %.1f%% (%d of %d); all candidates agreed on %d, correct when all agreed %d of %d (%.1f%%); "
          "disagreement warnings %d; wrong answers %d, of which warned %d (%.1f%%)"
          % (100 * c["accuracy"], c["correct"], c["problems"], c["agreed"], c["correct_agreed"], c["agreed"],
             100 * (c["accuracy_agreed"] or 0), c["disagreements"], c["wrong"], c["wrong_warned"],
             100 * (c["warned_when_wrong"] or 0)))


if __name__ == "__main__":
    main()
