#!/usr/bin/env bash
# Installs what is missing, builds, and says what the bridge will run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
bash tools/build.sh normal
echo "Built. The console program orvel-bridge-console comes with the bridge service."
