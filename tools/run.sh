#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demonstration: the console
# bridge with two simulated printers. Ctrl+C ends it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
bash tools/build.sh normal
exec bash tools/demo.sh
