#!/usr/bin/env bash
# Builds everything and runs every test.
#   test.sh             warnings as errors, all tests
#   test.sh --sanitize  the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   test.sh --tsan      ThreadSanitizer, the threaded tests only (log, processor, batch)
# Build directories: build, build-sanitize, build-tsan under PRAVEL_BUILD_ROOT
# (default: the repository).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
root=${PRAVEL_BUILD_ROOT:-$repo}
mode=${1:-}

options=(-DCMAKE_BUILD_TYPE=Debug -DPRAVEL_WERROR=ON)
targets=(all)
test_dirs=(.)
case "$mode" in
  "") build="$root/build" ;;
  --sanitize)
    build="$root/build-sanitize"
    options+=(-DPRAVEL_SANITIZE=ON)
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    ;;
  --tsan)
    build="$root/build-tsan"
    options+=(-DPRAVEL_TSAN=ON)
    test_dirs=(tests/gui tests/processor tests/batch)
    targets=("${test_dirs[@]/%//all}")
    export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
    ;;
  *) echo "usage: $0 [--sanitize | --tsan]" >&2; exit 2 ;;
esac

"$repo/scripts/install-deps.sh"

# Qt tests need no display.
export QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software

cmake -S "$repo" -B "$build" -G Ninja "${options[@]}"
cmake --build "$build" --target "${targets[@]}" -- -j2
for dir in "${test_dirs[@]}"; do
  ctest --test-dir "$build/$dir" --output-on-failure --parallel 2
done
