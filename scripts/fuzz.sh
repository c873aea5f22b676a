#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan, in build-fuzz under
# PRAVEL_BUILD_ROOT, default the repository) and runs each in turn for a
# bounded time, starting from its seed corpus in fuzz/corpus/NAME.
#   fuzz.sh                   every target, 30 s each
#   fuzz.sh SECONDS [NAME...] that long each, only the named targets
# Targets: fault_plan command_line mpsse_stream bitstream bitstream_reader
# version_file, and
# image_check where device/ImageCheck is.
# A crash, a hang (10 s for one input) or a sanitizer report stops the run;
# the input is kept in build-fuzz/artifacts. Fix the fault, then add the
# input to fuzz/corpus/NAME so it is tried on every run.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
root=${PRAVEL_BUILD_ROOT:-$repo}
build="$root/build-fuzz"
seconds=${1:-30}
[[ $# -gt 0 ]] && shift
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  targets=(fault_plan command_line mpsse_stream bitstream bitstream_reader version_file)
  [[ -f "$repo/device/ImageCheck.h" ]] && targets+=(image_check)
fi

"$repo/scripts/install-deps.sh" --fuzz

export QT_QPA_PLATFORM=offscreen
CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPRAVEL_FUZZ=ON -DPRAVEL_BUILD_TESTS=OFF -DPRAVEL_WERROR=ON
cmake --build "$build" --target "${targets[@]/%/_fuzz}" -- -j2

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
  # New inputs go to the build tree; the repository's seeds stay as they are.
  mkdir -p "$build/corpus/$target"
  echo "=== fuzzing $target for $seconds s"
  log="$build/artifacts/$target.log"
  status=0
  "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=1 -artifact_prefix="$build/artifacts/$target-" \
    "$build/corpus/$target" "$repo/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  # The progress lines are many; the summary and any report are what count.
  grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' "$log" || true
  if [[ $status -ne 0 ]]; then
    echo "fuzz target $target failed (status $status): the input is in $build/artifacts" >&2
    exit 1
  fi
done
echo "=== fuzzing clean: ${targets[*]}"
