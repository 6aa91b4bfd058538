#!/usr/bin/env bash
# Installs every system and npm package that building, testing and benchmarking Corvessa needs.
# Idempotent: packages already present are skipped; safe to run as root on a fresh Debian 12.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

debian_packages=(
  build-essential cmake ninja-build pkg-config git
  clang clang-format clang-tidy libclang-rt-14-dev clang-16 libclang-rt-16-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  wabt
  libsqlite3-dev nlohmann-json3-dev libsoxr-dev libsndfile1-dev libespeak-ng-dev espeak-ng
  libpulse-dev pulseaudio pulseaudio-utils
  libfmt-dev libplist-dev uuid-dev
  libspeexdsp-dev libwebrtc-audio-processing-dev
  sox
)

missing=()
for pkg in "${debian_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if ((${#missing[@]} > 0)); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: missing packages (run as root to install): ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# npm ships inside some Node.js builds; install Debian's only when no npm is on the PATH.
if ! command -v npm >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends nodejs npm
fi

# RNNoise (no Debian package): the pinned npm package whose WebAssembly build is translated to C.
if [[ ! -f "$here/third_party/rnnoise-wasm/node_modules/@jitsi/rnnoise-wasm/package.json" ]]; then
  (cd "$here/third_party/rnnoise-wasm" && npm ci --no-audit --no-fund --ignore-scripts --loglevel=error)
fi
