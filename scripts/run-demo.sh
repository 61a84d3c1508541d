#!/usr/bin/env bash
# Installs what is missing, builds and starts the demo: the updater window
# wired to a simulated device. Arguments go to korvalen-demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target korvalen-demo
exec build/default/app/korvalen-demo "$@"
