#!/usr/bin/env bash
# Corvessa end to end on a built-in default: installs what is missing, builds, then runs
# corvessa-demo, which starts a private sound server with a test microphone playing noisy speech,
# the audio-server daemon publishing "Corvessa Mic" and CorvessaHelper --run, records
# "Corvessa Mic" as an application would, and prints before/after figures. Everything it starts
# is stopped at the end; the user's own sound server is not touched.
#   Scripts/demo.sh [output folder]     (default: corvessa-demo-output)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
output="$(realpath -m "${1:-corvessa-demo-output}")"
cd "$here"
bash Scripts/setup.sh
cmake --preset release
cmake --build --preset release --parallel "$(nproc)" --target corvessa-demo
exec build/release/demo/corvessa-demo --output "$output"
