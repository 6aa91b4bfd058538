#!/usr/bin/env bash
# The whole test suite in one command: installs what is missing, builds, runs every test.
#   Scripts/test.sh [preset]     preset: release (default), dev, asan or tsan
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
preset="${1:-release}"
cd "$here"
bash Scripts/setup.sh
cmake --preset "$preset"
cmake --build --preset "$preset" --parallel "$(nproc)"
ctest --preset "$preset"
