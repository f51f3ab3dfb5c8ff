"""Query time of tavro.rag_helper.rank_problem_descriptions on 1,000 generated
descriptions against a straightforward pure-Python BM25 over the same files
(index built once, as the native ranker caches its own). Prints the ratio."""

import math
import os
import pathlib
import random
import re
import statistics
import sys
import tempfile
import time
from collections import Counter

from tavro.rag_helper import rank_problem_descriptions

WORDS = ("warehouse store ship cost demand supply nurse shift roster factory chair table profit oil "
         "blend octane portfolio stock bond risk return knapsack weight value farmer crop acre water "
         "flow network server link capacity paper roll waste order facility customer open fixed").split()
STOP = {"the", "a", "an", "and", "of", "to", "in", "for", "with", "is", "are", "on", "at", "by"}


def generate(root, n, rng, nested):
    for i in range(n):
        folder = root / f"p{i:04d}" if nested else root
        folder.mkdir(exist_ok=True)
        words = [rng.choice(WORDS) for _ in range(rng.randrange(40, 120))]
        path = folder / f"p{i:04d}.txt"
        path.write_text(" ".join(words) + ".", encoding="utf-8")
        os.utime(path, (time.time() - 3600,) * 2)  # a settled library, as installed
    for folder in [root, *root.iterdir()]:
        if folder.is_dir():
            os.utime(folder, (time.time() - 3600,) * 2)


def tokens(text):
    return [w for w in re.findall(r"\w+", text.lower()) if w not in STOP and len(w) > 1]


class PyBM25:
    def __init__(self, root, k1=1.2, b=0.75):
        self.paths = sorted(root.rglob("*.txt"))
        self.docs = [Counter(tokens(p.read_text(encoding="utf-8", errors="ignore"))) for p in self.paths]
        self.lengths = [sum(d.values()) for d in self.docs]
        self.avg = sum(self.lengths) / len(self.lengths)
        self.df = Counter(t for d in self.docs for t in d)
        self.k1, self.b = k1, b

    def rank(self, query, top_k):
        n = len(self.docs)
        terms = set(tokens(query))
        scored = []
        for i, doc in enumerate(self.docs):
            s = 0.0
            for t in terms:
                tf = doc.get(t)
                if tf:
                    idf = math.log(1 + (n - self.df[t] + 0.5) / (self.df[t] + 0.5))
                    s += idf * tf * (self.k1 + 1) / (tf + self.k1 * (1 - self.b + self.b * self.lengths[i] / self.avg))
            if s > 0:
                scored.append((-s, str(self.paths[i])))
        scored.sort()
        return [{"path": p, "score": -s} for s, p in scored[:top_k]]


def per_call(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main(n=1000, repeat=30):
    for nested in (True, False):
        run(n, repeat, nested)


def run(n, repeat, nested):
    rng = random.Random(1)
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        generate(root, n, rng, nested)
        query = "ship goods from the warehouse to each store at low cost given supply and demand"
        start = time.perf_counter()
        rank_problem_descriptions(query=query, models_dir=str(root), top_k=3)
        cold_native = time.perf_counter() - start
        start = time.perf_counter()
        py = PyBM25(root)
        cold_python = time.perf_counter() - start
        native = per_call(lambda: rank_problem_descriptions(query=query, models_dir=str(root), top_k=3), repeat)
        python = per_call(lambda: py.rank(query, 3), repeat)
        print(f"descriptions: {n}, {'one folder per problem' if nested else 'all in one folder'}")
        print(f"index build (first call): native {cold_native * 1e3:.2f} ms, python {cold_python * 1e3:.2f} ms, "
              f"ratio {cold_python / cold_native:.1f}x")
        print(f"query (median of {repeat}, native re-checks every folder and file timestamp): "
              f"native {native * 1e3:.3f} ms, python {python * 1e3:.3f} ms, ratio {python / native:.1f}x")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:]))
