"""`tavro eval` on the bundled benchmark against a loopback gold modeller.

Prints the wall time of the whole evaluation at --jobs 1 and --jobs 8, and
per problem: the evaluation's time (jobs 1), beside the time of the same
generation run alone (`generative_solve` through the same loopback LLM) and
of solving the gold pair (`tavro.solver.solve_files`, what `tavro solve`
does after start-up), and the `tavro solve` command's own wall time. The
harness's own overhead is what is left: metering and hooks, few-shot
exclusion, the record's compile check, the fsync'ed line. Everything runs in one process against the same stub.

    python benchmarks/eval_overhead.py [--rounds 3] [--latency 0.25]

With an instant loopback reply the run is bound by the CPU (one interpreter
lock), so threads gain little; --latency makes the stub wait before each
reply, as a provider does, and shows what --jobs is for.
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from stub_server import Reply, StubServer  # noqa: E402

GOLD = ROOT / "tests" / "data" / "benchmark_gold"


def gold_modeller(problems, latency):
    answers = {p.question: json.dumps({"model": (GOLD / (p.id + ".mod")).read_text(),
                                       "data": (GOLD / (p.id + ".dat")).read_text()}) for p in problems}

    def respond(request):
        prompt = request.json["input"]
        if "Assess whether the generated Tavro model" in prompt:
            text = json.dumps({"aligned": True, "assessment": "Matches."})
        elif "Answer the user's question" in prompt:
            text = json.dumps({"feedback": "The model is right."})
        else:
            found = [q for q in answers if q in prompt]
            text = answers[max(found, key=len)] if found else "?"
        if latency:
            time.sleep(latency)
        return Reply.openai_text(text, 1000, 200)

    return respond


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3, help="runs of each timing (the median is shown)")
    parser.add_argument("--latency", type=float, default=0.25,
                        help="seconds the stub waits before each reply, as a provider would, for the "
                             "second --jobs comparison (default 0.25)")
    args = parser.parse_args()
    from tavro import evaluation, modelwright, solver, tokenmeter

    tokenmeter.PRICING_URL = str(ROOT / "tests" / "data" / "pricing_table.md")
    problems = evaluation.load_dataset(evaluation.bundled_benchmark())
    with StubServer() as stub, tempfile.TemporaryDirectory() as tmp:
        stub.set_default("POST", "/v1/responses", gold_modeller(problems, 0.0))
        os.environ["OPENAI_BASE_URL"] = stub.openai_base_url
        os.environ["OPENAI_API_KEY"] = "sk-bench"
        # Warm up imports, the ranker's index and the price list.
        evaluation.evaluate(problems[:1], os.path.join(tmp, "warm.jsonl"))

        walls = {1: [], 8: []}
        for r in range(args.rounds):
            for jobs in (1, 8):
                summary = evaluation.evaluate(problems, os.path.join(tmp, "r%d-j%d.jsonl" % (r, jobs)), jobs=jobs)
                assert summary["correct"] == len(problems), summary
                walls[jobs].append(summary["wall_seconds"])

        # Per problem, interleaved so that the machine's drift hits all three alike.
        ev, gen, solve, repairs = {}, {}, {}, {}
        for p in problems:
            e, g, s = [], [], []
            for r in range(args.rounds):
                out = os.path.join(tmp, "one", "%d-%d.jsonl" % (p.index, r))
                t0 = time.perf_counter()
                evaluation.evaluate([p], out)
                e.append(time.perf_counter() - t0)
                with open(out) as f:
                    repairs[p.index] = json.loads(f.readline())["repairs"]
                folder = os.path.join(tmp, "alone", "%d-%d" % (p.index, r))
                mod, dat = os.path.join(folder, "m.mod"), os.path.join(folder, "m.dat")
                t0 = time.perf_counter()
                modelwright.generative_solve(p.question, mod, dat, return_statistics=True, llm_provider=None)
                g.append(time.perf_counter() - t0)
                t0 = time.perf_counter()
                solver.solve_files(GOLD / (p.id + ".mod"), GOLD / (p.id + ".dat"))
                s.append(time.perf_counter() - t0)
            ev[p.index], gen[p.index], solve[p.index] = (statistics.median(e), statistics.median(g),
                                                         statistics.median(s))

        # The command itself, interpreter start-up included (one run per problem).
        command = []
        for p in problems:
            t0 = time.perf_counter()
            subprocess.run([sys.executable, "-m", "tavro", "solve", str(GOLD / (p.id + ".mod")),
                            str(GOLD / (p.id + ".dat")), "--json"], check=True, capture_output=True, cwd=tmp)
            command.append(time.perf_counter() - t0)

        slow = {}
        if args.latency > 0:
            stub.set_default("POST", "/v1/responses", gold_modeller(problems, args.latency))
            for jobs in (1, 8):
                summary = evaluation.evaluate(problems, os.path.join(tmp, "slow-j%d.jsonl" % jobs), jobs=jobs)
                slow[jobs] = summary["wall_seconds"]

    print("problems: %d (bundled benchmark, gold modeller on 127.0.0.1, alignment on)" % len(problems))
    w1, w8 = statistics.median(walls[1]), statistics.median(walls[8])
    print("wall time --jobs 1: %.2f s   --jobs 8: %.2f s   speed-up %.2fx" % (w1, w8, w1 / w8))
    if slow:
        print("with %.2f s of provider latency per call: --jobs 1: %.2f s   --jobs 8: %.2f s   speed-up %.2fx"
              % (args.latency, slow[1], slow[8], slow[1] / slow[8]))
    print("%-5s %10s %12s %10s %8s %10s" % ("id", "eval (s)", "generate (s)", "solve (s)", "repairs", "harness"))
    overheads = []
    for p in problems:
        overhead = ev[p.index] - gen[p.index] - solve[p.index]
        if not repairs[p.index]:
            overheads.append(overhead)
        print("%-5s %10.3f %12.3f %10.4f %8d %+10.4f" % (p.id, ev[p.index], gen[p.index], solve[p.index],
                                                         repairs[p.index], overhead))
    mean_solve = statistics.mean(solve.values())
    over = statistics.median(overheads)
    print("harness overhead per problem (median, problems without repair rounds): %.4f s; "
          "tavro solve's solve: %.4f s (mean); ratio %.2f" % (over, mean_solve, over / mean_solve))
    print("the tavro solve command (a process per problem): %.3f s (median); eval per problem at --jobs 1: %.3f s"
          % (statistics.median(command), statistics.median(walls[1]) / len(problems)))


if __name__ == "__main__":
    main()
