#!/usr/bin/env bash
# Runs a Windows executable under Wine with its exit code (CTest's emulator
# for the Windows build). Uses the caller's WINEPREFIX, or a fresh one.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all} WINEARCH=win64 WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [[ -z "${WINEPREFIX:-}" ]]; then
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/pravel-wine.XXXXXX")
  export WINEPREFIX
  trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
  wineboot --init >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
fi
status=0
wine "$@" || status=$?
exit "$status"
