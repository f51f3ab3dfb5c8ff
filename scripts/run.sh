#!/usr/bin/env bash
# Sets everything up and runs the main job: a demonstration cost estimate.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/bootstrap.sh" openai
venv=${TAVRO_VENV:-$root/.venv}
exec "$venv/bin/tavro" estimate "$@"
