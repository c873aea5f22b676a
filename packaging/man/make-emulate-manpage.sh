#!/usr/bin/env bash
# Writes pravel-emulate's manual page from its own --help, so the page never
# lists an option the program lacks.
#   make-emulate-manpage.sh PRAVEL_EMULATE OUTPUT
set -euo pipefail
tool=$1
out=$2

escape() {
  sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
}

help=$("$tool" --help 2>&1 || true)
{
  echo ".TH PRAVEL-EMULATE 1 \"\" \"Pravel FW Loader\" \"User Commands\""
  echo ".SH NAME"
  echo "pravel-emulate \\- run a program against an emulated instrument on a virtual USB bus"
  echo ".SH SYNOPSIS"
  echo ".B pravel-emulate"
  echo "[\\fIoptions\\fR] \\fB\\-\\-\\fR \\fICOMMAND\\fR [\\fIARG\\fR...]"
  echo ".SH DESCRIPTION"
  echo "Runs COMMAND with the instrument's FT2232H bridge, SPI flash and FPGA emulated"
  echo "in software, in place of the system's libusb\\-1.0, so that pravel\\-flash,"
  echo "pravel\\-fw\\-loader or any libftdi1 program can be tried without hardware."
  echo ".SH OPTIONS"
  echo ".nf"
  printf '%s\n' "$help" | escape
  echo ".fi"
  echo ".SH SEE ALSO"
  echo ".BR pravel\\-flash (1),"
  echo ".BR pravel\\-fw\\-loader (1)"
} > "$out"
