#!/usr/bin/env bash
# Starts the loader's window on the emulated instrument with a demo firmware
# set, for trying the loader without hardware.
#   run-demo.sh [loader options]
# Installs missing Debian packages, builds the loader, pravel-flash and the
# demo firmware writer in build/, and stages under demo/ (both under
# PRAVEL_BUILD_ROOT, default: the repository):
#   demo/pravel-fw-loader   a copy of the loader, so that its firmware
#                           directory is the demo one
#   demo/firmware/          version.txt "demo", download.bit, pravel.srec
#   demo/flash.img          the emulated flash's contents, kept between runs
# The demo firmware lives only there, never beside a built or installed
# loader that could reach a real instrument.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
root=${PRAVEL_BUILD_ROOT:-$repo}
build="$root/build"
demo="$root/demo"

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "run-demo.sh: no display (DISPLAY and WAYLAND_DISPLAY are unset); the loader is a window." >&2
  echo "Run it from a desktop session, or under a virtual X server: xvfb-run -a $0" >&2
  exit 1
fi

"$repo/scripts/install-deps.sh"

# The same configuration as test.sh, so the two share one build.
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPRAVEL_WERROR=ON
cmake --build "$build" --target pravel-fw-loader pravel-flash pravel-demo-firmware -- -j2

mkdir -p "$demo"
# A demo window may be running from the staged copy: never write into that
# file ("Text file busy"); a new copy takes its name, the running one keeps
# its own, and the start below raises the open window.
if ! cmp -s "$build/app/pravel-fw-loader" "$demo/pravel-fw-loader"; then
  cp "$build/app/pravel-fw-loader" "$demo/.pravel-fw-loader.new"
  mv -f "$demo/.pravel-fw-loader.new" "$demo/pravel-fw-loader"
fi
# The firmware files likewise: a running window may be reading them.
"$build/emulator/pravel-demo-firmware" "$demo/.firmware.new" demo
mkdir -p "$demo/firmware"
for file in "$demo/.firmware.new"/*; do
  name=$(basename "$file")
  if cmp -s "$file" "$demo/firmware/$name"; then
    rm -f "$file"
  else
    mv -f "$file" "$demo/firmware/$name"
  fi
done
rmdir "$demo/.firmware.new"

export PRAVEL_DEVICE=emulated
# Another chip (corrupted, unknown, unplugged, ...) shows the loader's answers to it.
export PRAVEL_EMULATED_CHIP=${PRAVEL_EMULATED_CHIP:-mt25q128}
export PRAVEL_EMULATED_IMAGE="$demo/flash.img"
# The datasheets' typical busy times, passing in real time: the window shows
# the durations and the time left a technician will see.
export PRAVEL_EMULATED_TIMING=${PRAVEL_EMULATED_TIMING:-typical}
export PRAVEL_EMULATED_PACE=${PRAVEL_EMULATED_PACE:-realtime}
unset PRAVEL_EMULATED_FAULTS
# The window needs no GPU; the software scene graph also runs where OpenGL
# is missing (a virtual X server, a remote session).
export QT_QUICK_BACKEND=${QT_QUICK_BACKEND:-software}
echo "Emulated instrument: $PRAVEL_EMULATED_CHIP flash kept in $PRAVEL_EMULATED_IMAGE, $PRAVEL_EMULATED_TIMING timing, paced $PRAVEL_EMULATED_PACE"
echo "Afterwards: PRAVEL_DEVICE=emulated PRAVEL_EMULATED_IMAGE=$PRAVEL_EMULATED_IMAGE \\"
echo "  $build/cli/pravel-flash verify --firmware-dir $demo/firmware"
exec "$demo/pravel-fw-loader" "$@"
