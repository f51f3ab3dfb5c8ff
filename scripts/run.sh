#!/usr/bin/env bash
# Sets everything up and runs the main job: writes a model and data file for
# the bundled sample problem into out/, solves them (repairing the model with
# the LLM when the solver finds it infeasible or unbounded) and ends with the
# answer (OpenAI by default; pass e.g. --provider ollama --model llama3 for a
# local Ollama server).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${TAVRO_VENV:-$root/.venv}

# Before anything is built: can the provider be reached? The provider follows
# --provider, else the model name, as in the command line (default gpt-5).
provider="" model=gpt-5 prev=""
for arg in "$@"; do
  case "$prev" in --provider) provider=$arg ;; --model) model=$arg ;; esac
  case "$arg" in --provider=*) provider=${arg#*=} ;; --model=*) model=${arg#*=} ;; esac
  prev=$arg
done
provider=$(echo "$provider" | tr '[:upper:]' '[:lower:]' | tr -d '[:space:]')
if [ -z "$provider" ]; then
  case "$(echo "$model" | tr '[:upper:]' '[:lower:]')" in
    gemini*) provider=google ;;
    llama* | qwen* | mistral* | *gpt-oss*) provider=ollama ;;
    *) provider=openai ;;
  esac
fi
case "$provider" in oai) provider=openai ;; gemini | genai | google.generativeai) provider=google ;; esac
config=${XDG_CONFIG_HOME:-}   # where `tavro keys` stores keys
case "$config" in /*) ;; *) config=${HOME:-/root}/.config ;; esac
keys_file=$config/tavro/keys.json
tavro_cmd="$venv/bin/tavro"
[ -x "$tavro_cmd" ] || tavro_cmd="bash scripts/bootstrap.sh && .venv/bin/tavro"
need_key() {  # $1 variable, $2 name in the key store
  if [ -n "${!1:-}" ]; then return; fi
  if [ -f "$keys_file" ] && grep -q "\"$2\"[[:space:]]*:" "$keys_file"; then return; fi
  echo "run.sh: $1 is not set. Set it (export $1=...), store it once with \`$tavro_cmd keys set $2\`," \
       "or use a local model: bash scripts/run.sh --provider ollama --model llama3" >&2
  exit 1
}
case "$provider" in
  openai) need_key OPENAI_API_KEY openai ;;
  google) need_key GEMINI_API_KEY google ;;
  ollama)
    address=${OLLAMA_HOST:-}
    address=${address#*://}; address=${address%%/*}
    host=${address%:*}; port=${address##*:}
    if [ "$host" = "$address" ]; then port=11434; fi
    host=${host:-127.0.0.1}; port=${port:-11434}
    if ! timeout 2 bash -c "exec 3<>/dev/tcp/$host/$port" 2>/dev/null; then
      echo "run.sh: no Ollama server answers at $host:$port: start it with \`ollama serve\`, or set OLLAMA_HOST" \
           "to its address" >&2
      exit 1
    fi ;;
esac

# Every provider's client, since the model name alone may pick the provider.
source "$root/scripts/bootstrap.sh" all
mkdir -p "$root/out"
exec "$venv/bin/tavro" generate -f "$root/examples/sample_problem.txt" \
  -o "$root/out/sample.mod" -d "$root/out/sample.dat" --solve "$@"
