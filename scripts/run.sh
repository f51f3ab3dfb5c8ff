#!/usr/bin/env bash
# Sets everything up and runs the main job: writes a model and data file for
# the bundled sample problem into out/, solves them (repairing the model with
# the LLM when the solver finds it infeasible or unbounded) and ends with the
# answer (OpenAI by default; pass e.g. --provider ollama --model llama3 for a
# local Ollama server).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Every provider's client, since the model name alone may pick the provider.
source "$root/scripts/bootstrap.sh" all
venv=${TAVRO_VENV:-$root/.venv}
mkdir -p "$root/out"
exec "$venv/bin/tavro" generate -f "$root/examples/sample_problem.txt" \
  -o "$root/out/sample.mod" -d "$root/out/sample.dat" --solve "$@"
