"""Child process for the pair-write tests: ``tavro generate`` with a fake LLM
whose first pair does not compile (so a second iteration runs) and whose
second pair has a data file of 20,000 characters.

    python pair_writer.py MODEL DATA FSIZE_LIMIT [generate options...]

The file-size limit (RLIMIT_FSIZE, SIGXFSZ ignored) is set when the second
generation call is made, so the second pair's data cannot be written.
"""

import json
import resource
import signal
import sys

from tavro import cli, modelwright

FIRST = {"model": "dvar float+ x;\nminimize c: x;\n", "data": "a = 1;\n"}
SECOND = {"model": "float a;\ndvar float+ x;\nminimize c: x;\nsubject to { x >= a; }\n",
          "data": "a = 2;\n// " + "D" * 20000 + "\n"}

model_file, data_file, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])
replies = [FIRST, SECOND]


def llm(**kwargs):
    if len(replies) == 1:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    reply = replies.pop(0) if replies else {"feedback": "fine"}
    return json.dumps(reply), {"prompt_tokens": 1, "completion_tokens": 1}


modelwright._llm_generate_text = llm
modelwright._estimate_costs = lambda *args: {}
sys.exit(cli.main(["generate", "a problem", "-o", model_file, "-d", data_file, "--no-alignment", "--no-few-shot",
                   "--iterations", "2", "--provider", "openai", *sys.argv[4:]]))
