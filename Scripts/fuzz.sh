#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset, clang 16) and runs each one on a copy of its
# committed corpus for a fixed time; fails when any target finds a crash, leak, timeout or broken
# invariant. The inputs that did are kept in fuzz/artifacts/ (git-ignored).
#   Scripts/fuzz.sh [seconds per target, default 30] [target ...]   (default: every target)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-30}"
shift || true
cd "$here"

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake --preset fuzz "${launcher[@]}" >/dev/null
cmake --build build/fuzz --target corvessa_fuzzers --parallel "$(nproc)"

# Every target has a corpus directory of the same name.
targets=("$@")
if ((${#targets[@]} == 0)); then
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

mkdir -p fuzz/artifacts
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=()
for target in "${targets[@]}"; do
  cp -r "fuzz/corpus/$target" "$work/$target"
  log="$work/$target.log"
  if ! "build/fuzz/fuzz/corvessa_fuzz_$target" -max_total_time="$seconds" -timeout=25 \
      -print_final_stats=1 -artifact_prefix="fuzz/artifacts/$target-" "$work/$target" \
      >"$log" 2>&1; then
    failed+=("$target")
    tail -n 60 "$log"
  fi
  done_line="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)"
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
  echo "fuzz: $target ${seconds}s executions=${runs:-?} corpus=$(ls "$work/$target" | wc -l)" \
       "${done_line#*DONE}"
done

if ((${#failed[@]} > 0)); then
  echo "fuzz: findings in: ${failed[*]} (inputs in fuzz/artifacts/)" >&2
  exit 1
fi
echo "fuzz: no findings"
