#!/usr/bin/env bash
# Benchmark of the loader on the emulated instrument in the timed model
# (datasheet typical times, 15 MHz SPI, USB transfer costs), against the
# floor that the flash itself sets and, when they are installed, against
# flashrom and openFPGALoader driving the same emulated bridge.
#
#   bench.sh [--timing typical|worst]... [--output FILE]
#
# One table per timing (default: typical, then worst); the floor takes the
# parts' typical times for `typical` and their maximum times for `worst`.
# Then eight instruments at once (write --all): the slowest one's emulated
# time against one instrument's, and the host CPU and wall time of eight
# 16 MiB write+verify runs in instant timing against one.
#
# Every number but the host CPU time comes from the virtual clock, so a run
# gives the same table on any machine. Builds a release pravel-flash in
# build-release/ (under PRAVEL_BUILD_ROOT when set). Not part of the tests.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
root=${PRAVEL_BUILD_ROOT:-$repo}
build="$root/build-release"
timings=()
output=
while [ $# -gt 0 ]; do
  case "$1" in
    --timing) timings+=("${2:?}"); shift 2 ;;
    --output) output=${2:?}; shift 2 ;;
    *) echo "usage: $0 [--timing typical|worst]... [--output FILE]" >&2; exit 2 ;;
  esac
done
[ ${#timings[@]} -gt 0 ] || timings=(typical worst)
command="scripts/bench.sh"
for t in "${timings[@]}"; do command+=" --timing $t"; done
[ -z "$output" ] || command+=" --output $output"

# Optimiser-only warnings of GCC 12 (-O3 array bounds) must not stop a measurement.
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPRAVEL_WERROR=OFF -DPRAVEL_BUILD_GUI=OFF \
  -DPRAVEL_BUILD_TESTS=OFF >/dev/null
targets=(pravel-flash pravel-demo-firmware)
if cmake --build "$build" --target help | grep -q '^pravel-emulate:'; then
  targets+=(pravel-emulate)
fi
cmake --build "$build" --target "${targets[@]}" -- -j2 >/dev/null
tool="$build/cli/pravel-flash"
emulate=$(find "$build" -name pravel-emulate -type f -perm -u+x 2>/dev/null | head -n 1)
flashrom=$(command -v flashrom || true)
ofl=$(command -v openFPGALoader || true)
peers=0
[ -n "$emulate" ] && { [ -n "$flashrom" ] || [ -n "$ofl" ]; } && peers=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Deterministic image bytes: the same files, and so the same table, every run.
bytes() { # SIZE SEED
  { openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' "$2")" -iv 0 -in /dev/zero 2>/dev/null || true; } |
    head -c "$1"
}
# The flash holds older contents at the start of every job, so every program
# has to erase (one that skips erased sectors would otherwise win on a blank chip).
bytes $((32 << 20)) 3 >"$work/old32m.bin"
prefill() { # CHIP FLASHFILE
  local size=$((16 << 20)); [ "$1" = s25fl256 ] && size=$((32 << 20))
  head -c "$size" "$work/old32m.bin" >"$2"
}
bytes $((1 << 20)) 1 >"$work/app1m.bin"
bytes $((16 << 20)) 2 >"$work/whole.bin"
"$build/emulator/pravel-demo-firmware" "$work/basic" bench >/dev/null
cp "$work/app1m.bin" "$work/basic/pravel.srec"

# The parts' datasheet times, from the emulated parts' table (the
# datasheets' typical and maximum times, which the timed model charges).
part_time() { # CHIP-NAME FIELD(pageProgram|erase64k) WHICH(1: typical, 2: maximum); in microseconds
  awk -v name="$(echo "$1" | tr A-Z a-z)" -v field="$2" -v which="$3" '
    $0 ~ "^ *" name "\\." field " = \\{" {
      sub(/.*\{/, ""); sub(/\}.*/, ""); split($0, t, ",")
      split(t[which], v, "*"); unit = v[2]; gsub(/ /, "", unit)
      scale = unit == "us" ? 1 : unit == "ms" ? 1000 : 1000000
      print v[1] * scale; exit }' "$repo/emulator/config/FlashPart.cpp"
}
# What must happen at the least: every sector erased and every page programmed
# in the parts' typical (or, for `worst`, maximum) time, and every byte that
# has to cross the SPI wire at 15 MHz: write enable, command, address and data
# of each erase, page program and 64 KiB read-back, one status byte each for
# erase and page.
floor() { # CHIP-NAME SIZE@OFFSET...
  local chip=$1; shift
  local which=1 page erase
  [ "$timing" = worst ] && which=2
  page=$(part_time "$chip" pageProgram "$which")
  erase=$(part_time "$chip" erase64k "$which")
  for image in "$@"; do echo "${image%@*} $((${image#*@}))"; done |
    awk -v page="$page" -v erase="$erase" '
      { size = $1; off = $2
        sectors = int((off + size - 1) / 65536) - int(off / 65536) + 1
        pages = int((size + 255) / 256); chunks = int((size + 65535) / 65536)
        us += sectors * erase + pages * page
        wire += sectors * (1 + 4 + 2) + pages * (1 + 4 + 2) + size + chunks * 4 + size }
      END { printf "%.2f", us / 1e6 + wire * 8 / 15e6 }'
}

seconds() { awk -v t="$1" 'BEGIN { printf "%.2f", t }'; }
cpu_of() { awk '{ printf "%.2f", $1 + $2 }' "$1"; }
emulated_of() { sed -n 's/.*[Ee]mulated time:* *\([0-9.]*\) *s.*/\1/p' "$1" | tail -n 1; }

# Our tool: write --verify, as a user runs it; --force because the images
# are random bytes, not the file kinds their offsets expect.
run_ours() { # CHIP IMAGEFILE ARGS...
  local chip=$1 flash=$2; shift 2
  prefill "$chip" "$flash"
  local TIMEFORMAT='%3U %3S'
  if { time "$tool" --device emulated --chip "$chip" --image "$flash" --timing "$timing" \
         -q write --verify --force "$@" >"$work/out" 2>"$work/err"; } 2>"$work/cpu"; then
    echo "$(emulated_of "$work/err") $(cpu_of "$work/cpu")"
  else
    echo "failed failed"
  fi
}

# Whether the emulated flash file holds each FILE@OFFSET.
holds() { # FLASHFILE FILE@OFFSET...
  local flash=$1; shift
  for image in "$@"; do
    local file=${image%@*} off=$((${image#*@}))
    cmp -s -i "0:$off" -n "$(stat -c %s "$file")" "$file" "$flash" || return 1
  done
}

# A peer through the virtual USB launcher; prints its emulated time or "failed".
run_peer() { # CHIP FLASHFILE COMMAND...
  local chip=$1 flash=$2; shift 2
  prefill "$chip" "$flash"
  if "$emulate" --chip "$chip" --image "$flash" --timing "$timing" --virtual-time -- "$@" \
       >"$work/peer.out" 2>"$work/peer.err"; then
    local t
    t=$(emulated_of "$work/peer.err")
    echo "${t:-failed}"
  else
    echo failed
  fi
}

# flashrom knows the MT25Q128 under two names: this one keeps to 3-byte addresses.
flashrom_name() { case "$1" in mt25q128) echo "N25Q128..3E" ;; s25fl256) echo "S25FL256S......0" ;; esac; }

# flashrom writes through a layout: the regions of a chip-sized file.
run_flashrom() { # CHIP FILE@OFFSET...
  local chip=$1; shift
  [ -n "$flashrom" ] || { echo "-"; return; }
  local size=$((16 << 20)); [ "$chip" = s25fl256 ] && size=$((32 << 20))
  local full="$work/flashrom.bin" layout="$work/layout" args=() n=0
  head -c "$size" /dev/zero | tr '\0' '\377' >"$full"
  : >"$layout"
  for image in "$@"; do
    local file=${image%@*} off=$((${image#*@})) len
    len=$(stat -c %s "$file")
    dd if="$file" of="$full" bs=64K seek="$off" oflag=seek_bytes conv=notrunc status=none
    printf '%08x:%08x r%d\n' "$off" $((off + len - 1)) "$n" >>"$layout"
    args+=(-i "r$n"); n=$((n + 1))
  done
  local t
  t=$(run_peer "$chip" "$work/peer-flash.bin" "$flashrom" -p ft2232_spi:type=2232H,port=B,divisor=4 \
        -c "$(flashrom_name "$chip")" -l "$layout" "${args[@]}" -w "$full")
  if [ "$t" != failed ] && holds "$work/peer-flash.bin" "$@"; then seconds "$t"; else echo failed; fi
}

run_ofl() { # CHIP FILE@OFFSET...
  local chip=$1; shift
  [ -n "$ofl" ] || { echo "-"; return; }
  local total=0 t
  prefill "$chip" "$work/peer-flash.bin"
  for image in "$@"; do
    local file=${image%@*} off=${image#*@}
    # openFPGALoader 0.10 reads its SPI pin map from an uninitialised variable
    # when no board is named; without address randomisation and with a bare
    # environment it comes out as the cable's own pins.
    t=$(env -i PATH=/usr/bin:/bin "$emulate" --chip "$chip" --image "$work/peer-flash.bin" --timing "$timing" \
          --virtual-time -- setarch -R "$ofl" --cable ft2232 --ftdi-channel 1 --spi --write-flash --verify \
          --offset "$off" --file-type bin "$file" >"$work/peer.out" 2>"$work/peer.err" &&
        grep -q -i 'detected' "$work/peer.out" && ! grep -q -i 'failed' "$work/peer.out" "$work/peer.err" &&
        emulated_of "$work/peer.err" || true)
    [ -n "$t" ] || { echo failed; return; }
    total=$(awk -v a="$total" -v b="$t" 'BEGIN { printf "%.2f", a + b }')
  done
  if holds "$work/peer-flash.bin" "$@"; then echo "$total"; else echo failed; fi
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2fx", a / b; else printf "-" }'; }

table() {
  echo "## \`$timing\` timing"
  echo
  local header="| job | chip | emulated | floor | ratio to floor | host CPU |"
  local rule="|---|---|---|---|---|---|"
  if [ "$peers" = 1 ]; then
    header+=" flashrom | flashrom / ours | openFPGALoader | openFPGALoader / ours |"
    rule+="---|---|---|---|"
  fi
  echo "$header"
  echo "$rule"
  local bit="$work/basic/download.bit" srec="$work/basic/pravel.srec"
  for chip in mt25q128 s25fl256; do
    local name; name=$(echo "$chip" | tr a-z A-Z)
    local jobs=(
      "1 MiB at 0x500000|--offset 0x500000 $work/app1m.bin|$(stat -c %s "$work/app1m.bin")@0x500000|$work/app1m.bin@0x500000"
      "16 MiB at 0|$work/whole.bin|$((16 << 20))@0|$work/whole.bin@0"
      "Basic set|--firmware-dir $work/basic|$(stat -c %s "$srec")@0x500000 $(stat -c %s "$bit")@0|$srec@0x500000 $bit@0"
    )
    for job in "${jobs[@]}"; do
      IFS='|' read -r label args sizes files <<<"$job"
      # shellcheck disable=SC2086
      read -r ours cpu <<<"$(run_ours "$chip" "$work/flash.bin" $args)"
      # shellcheck disable=SC2086
      local f; f=$(floor "$name" $sizes)
      local row="| $label | $chip | $ours | $f | $(ratio "$ours" "$f") | $cpu |"
      if [ "$peers" = 1 ]; then
        local fr of
        # shellcheck disable=SC2086
        fr=$(run_flashrom "$chip" $files)
        # shellcheck disable=SC2086
        of=$(run_ofl "$chip" $files)
        row+=" $fr | $(ratio "$fr" "$ours") | $of | $(ratio "$of" "$ours") |"
      fi
      echo "$row"
    done
  done
  echo
}

# Eight instruments at once, as a production bench runs them.
run_batch() { # COUNT TIMING ARGS...; prints "EMULATED CPU WALL"
  local count=$1 mode=$2; shift 2
  local i
  for ((i = 1; i <= count; i++)); do
    local f="$work/bench.bin"; [ "$i" -gt 1 ] && f="$work/bench-$i.bin"
    prefill mt25q128 "$f"
  done
  local TIMEFORMAT='%3U %3S %3R'
  if { time "$tool" --device emulated --instruments "$count" --image "$work/bench.bin" --timing "$mode" \
         -q write --all --verify --force "$@" >"$work/out" 2>"$work/err"; } 2>"$work/cpu"; then
    local t; t=$(emulated_of "$work/err")
    echo "${t:--} $(cpu_of "$work/cpu") $(awk '{ print $3 }' "$work/cpu")"
  else
    echo "failed failed failed"
  fi
}

batch_table() {
  echo "## Eight instruments at once"
  echo
  echo "\`pravel-flash write --all --verify\` on an emulated bench of eight MT25Q128 instruments"
  echo "(\`--instruments 8\`), each on its own thread and its own emulated clock, against the"
  echo "same job on one instrument (\`--instruments 1\`, the same batch path)."
  echo
  echo "| job | timing | one instrument | eight | eight / one | what |"
  echo "|---|---|---|---|---|---|"
  local one eight cpu1 cpu8 wall1 wall8
  read -r one cpu1 wall1 <<<"$(run_batch 1 typical --firmware-dir "$work/basic")"
  read -r eight cpu8 wall8 <<<"$(run_batch 8 typical --firmware-dir "$work/basic")"
  echo "| Basic set | typical | $one | $eight | $(ratio "$eight" "$one") | emulated time of the slowest instrument (at most 1.10x) |"
  read -r one cpu1 wall1 <<<"$(run_batch 1 instant "$work/whole.bin")"
  read -r eight cpu8 wall8 <<<"$(run_batch 8 instant "$work/whole.bin")"
  echo "| 16 MiB at 0 | instant | $cpu1 | $cpu8 | $(ratio "$cpu8" "$cpu1") | host CPU, user + system (at most 8.5x) |"
  echo "| 16 MiB at 0 | instant | $wall1 | $wall8 | $(ratio "$wall8" "$wall1") | wall time on $(nproc) cores |"
  echo
}

report() {
  echo "# Benchmark"
  echo
  echo "\`pravel-flash write --verify\` on the emulated instrument in the timed model, times in"
  echo "seconds of emulated time (host CPU: user + system seconds of the release build). Floor:"
  echo "the parts' erase and page program times (typical for \`typical\`, maximum for \`worst\`)"
  echo "plus the SPI wire time at 15 MHz of the bytes that must cross. flashrom and"
  echo "openFPGALoader run unchanged on the same emulated"
  echo "bridge through pravel-emulate; their flash is checked afterwards. Every job starts on"
  echo "a flash that holds other data, so every program has to erase."
  echo
  echo "Made by \`$command\` at $(git -C "$repo" rev-parse --short HEAD)."
  echo
  for timing in "${timings[@]}"; do
    table
  done
  batch_table
  if [ "$peers" != 1 ]; then
    echo "No flashrom / openFPGALoader columns: they need the pravel-emulate launcher and the Debian"
    echo "packages flashrom and openfpgaloader."
  fi
}

if [ -n "$output" ]; then
  report | tee "$output"
else
  report
fi
