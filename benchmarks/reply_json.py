"""Reply JSON extraction and relaxed decoding against their pure-Python twins,
at several reply sizes: the reply cases of twins.py.

    python benchmarks/reply_json.py [--rounds 7]
"""

import sys

import twins

if __name__ == "__main__":
    twins.main(sys.argv[1:] + ["reply JSON", "relaxed JSON"])
