#!/usr/bin/env bash
# Runs a Windows executable under Wine with its exit code (CTest's emulator
# for the Windows build). Uses the caller's WINEPREFIX, or a fresh one.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all} WINEARCH=win64 WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/pravel-wine-run.XXXXXX")
cleanup() {
  if [[ -n "${fresh:-}" ]]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
if [[ -z "${WINEPREFIX:-}" ]]; then
  fresh=1
  export WINEPREFIX="$scratch/prefix"
  wineboot --init >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -k && wineserver -w
fi
# Wine's own services and the desktop process start with the first program
# and keep its standard streams: through files, so that they never hold the
# caller's pipe open after the program has ended.
status=0
wine "$@" >"$scratch/out" 2>"$scratch/err" </dev/null || status=$?
cat "$scratch/out"
cat "$scratch/err" >&2
exit "$status"
