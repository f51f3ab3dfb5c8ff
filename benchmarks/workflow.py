"""One generative_solve iteration with instant fakes against the workflow
written in Python, at several reply sizes: the workflow cases of twins.py.

    python benchmarks/workflow.py [--rounds 7]
"""

import sys

import twins

if __name__ == "__main__":
    twins.main(sys.argv[1:] + ["generative_solve"])
