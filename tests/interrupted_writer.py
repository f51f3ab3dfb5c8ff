"""Child process for the interrupted-write tests: two generative_solve
iterations with a fake LLM and a compiler that always fails, so both write
the output files. Iteration 1 writes "M1"/"D1"; iteration 2 a model of SIZE
characters.

    python interrupted_writer.py MODEL DATA SIZE [FSIZE_LIMIT]

With FSIZE_LIMIT, the file-size limit (RLIMIT_FSIZE, SIGXFSZ ignored) is set
to that many bytes once iteration 2 starts. Every progress message goes to
stdout, one a line.
"""

import json
import resource
import signal
import sys

from tavro import modelwright

model_file, data_file, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
limit = int(sys.argv[4]) if len(sys.argv) > 4 else None
replies = [json.dumps({"model": "M1\n", "data": "D1\n"}), json.dumps({"model": "M" * size, "data": "D2\n"}),
           "assessment"]


def llm(**kwargs):
    return replies.pop(0), {"prompt_tokens": 1, "completion_tokens": 1}


class NeverCompiles:
    def compile_model(self, model_code, data_code):
        raise modelwright.SemanticError("does not compile")


def progress(msg):
    print(msg, flush=True)
    if limit is not None and msg.startswith("Iteration 2/"):
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


modelwright._llm_generate_text = llm
modelwright.KelmCompiler = NeverCompiles
modelwright._estimate_costs = lambda *args: {}
modelwright.generative_solve("p", model_file, data_file, iterations=2, alignment_check=False, few_shot=False,
                             progress=progress)
print("done", flush=True)
