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
# One target on a copy of its corpus; its summary line, or its log's tail and status 1.
run_target() {
  local target="$1" log="$work/$1.log"
  cp -r "fuzz/corpus/$target" "$work/$target"
  if ! "build/fuzz/fuzz/corvessa_fuzz_$target" -max_total_time="$seconds" -timeout=25 \
      -print_final_stats=1 -artifact_prefix="fuzz/artifacts/$target-" "$work/$target" \
      >"$log" 2>&1; then
    tail -n 60 "$log"
    return 1
  fi
  local done_line runs
  done_line="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)"
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
  echo "fuzz: $target ${seconds}s executions=${runs:-?} corpus=$(ls "$work/$target" | wc -l)" \
       "${done_line#*DONE}"
}

# As many targets at a time as there are cores; each is single-threaded.
lanes="$(nproc)"
failed=()
for ((first = 0; first < ${#targets[@]}; first += lanes)); do
  pids=()
  batch=("${targets[@]:first:lanes}")
  for target in "${batch[@]}"; do
    run_target "$target" >"$work/$target.summary" 2>&1 &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || failed+=("${batch[$i]}")
    cat "$work/${batch[$i]}.summary"
  done
done

if ((${#failed[@]} > 0)); then
  echo "fuzz: findings in: ${failed[*]} (inputs in fuzz/artifacts/)" >&2
  exit 1
fi
echo "fuzz: no findings"
