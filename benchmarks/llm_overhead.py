"""Overhead of the OpenAI path of `_llm_generate_text` over the raw client.

Against the loopback stub, N calls of `_llm_generate_text` through the real
`openai` package are timed against N direct `client.responses.create` calls
that each create their client the same way (`OpenAI(api_key=...)`). Both run
in alternating blocks in one process; the ratio is the cost of this layer
(client factory, request building, signature filter, retry frame, reply text).

    python benchmarks/llm_overhead.py [--calls 200] [--blocks 8]
"""

import argparse
import os
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from stub_server import StubServer  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200, help="calls of each kind")
    parser.add_argument("--blocks", type=int, default=8, help="alternating blocks the calls are split into")
    args = parser.parse_args()

    with StubServer() as stub:
        os.environ["OPENAI_BASE_URL"] = stub.openai_base_url
        os.environ["OPENAI_API_KEY"] = "test"
        from openai import OpenAI
        from tavro import modelwright as mw

        provider = mw.LLMProvider.OPENAI

        def layer() -> None:
            assert mw._llm_generate_text(provider, "gpt-5", "hi") == "hello"

        def direct() -> None:
            client = OpenAI(api_key=os.environ["OPENAI_API_KEY"])
            assert client.responses.create(model="gpt-5", input="hi").output_text == "hello"

        for _ in range(5):  # warm up both paths
            layer()
            direct()
        per_block = max(1, args.calls // args.blocks)
        totals = {layer: 0.0, direct: 0.0}
        counts = {layer: 0, direct: 0}
        for block in range(args.blocks):
            order = (layer, direct) if block % 2 == 0 else (direct, layer)
            for fn in order:
                start = time.perf_counter()
                for _ in range(per_block):
                    fn()
                totals[fn] += time.perf_counter() - start
                counts[fn] += per_block

    layer_ms = 1000 * totals[layer] / counts[layer]
    direct_ms = 1000 * totals[direct] / counts[direct]
    print(f"calls: {counts[layer]} each")
    print(f"_llm_generate_text: {layer_ms:.3f} ms/call")
    print(f"client.responses.create (new client each): {direct_ms:.3f} ms/call")
    print(f"overhead ratio: {totals[layer] / counts[layer] / (totals[direct] / counts[direct]):.3f}")


if __name__ == "__main__":
    main()
