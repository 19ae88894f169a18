#!/usr/bin/env bash
# Builds and installs synaptor, then simulates the example network.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh main
python3 -m pip install -q .
python3 examples/run_network.py "$@"
