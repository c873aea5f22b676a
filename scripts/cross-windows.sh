#!/usr/bin/env bash
# Cross-compiles the plain C++ libraries (device, emulator, drivers) for
# 64-bit Windows with Debian's mingw-w64, warnings as errors.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
root=${PRAVEL_BUILD_ROOT:-$repo}
build="$root/build-windows"

"$repo/scripts/install-deps.sh" --cross

# -O2 rather than CMake's -O3: GCC 12 at -O3 reports false buffer overflows
# (-Wstringop-overflow) inside inlined std::vector code.
cmake -S "$repo" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DPRAVEL_BUILD_GUI=OFF -DPRAVEL_BUILD_TESTS=OFF -DPRAVEL_WERROR=ON
cmake --build "$build" -- -j2 \
  pravel_base pravel_d2xx pravel_d2xx_ftd2xx pravel_device pravel_emulator \
  pravel_d2xx_emulated pravel_driver_selection
echo "Windows cross-compile OK: $build"
