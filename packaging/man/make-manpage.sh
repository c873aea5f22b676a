#!/usr/bin/env bash
# Writes pravel-flash's manual page from the tool's own help texts, so the
# page lists exactly the commands and options the built tool has.
#   make-manpage.sh PRAVEL_FLASH OUTPUT
set -euo pipefail
tool=$1
out=$2

# roff: a leading dot or quote would be a request; backslashes and dashes escaped.
escape() {
  sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
}

version=$("$tool" --version | awk '{print $2}')
help=$("$tool" --help)
commands=$(printf '%s\n' "$help" | awk '/^Commands:/ {on=1; next} on && /^$/ {exit} on {print $1}')
# Paragraph 3 of the help is the description (after the usage line).
description=$(printf '%s\n' "$help" | awk 'BEGIN {RS=""} NR==2 {print}')

{
  echo ".TH PRAVEL-FLASH 1 \"\" \"pravel-flash $version\" \"User Commands\""
  echo ".SH NAME"
  echo "pravel-flash \\- program the instrument's SPI configuration flash over an FTDI bridge"
  echo ".SH SYNOPSIS"
  echo ".B pravel-flash"
  echo "[\\fIglobal options\\fR] \\fICOMMAND\\fR [\\fIoptions\\fR]"
  echo ".SH DESCRIPTION"
  printf '%s\n' "$description" | tr '\n' ' ' | escape
  echo
  echo ".SH OVERVIEW"
  echo ".nf"
  printf '%s\n' "$help" | awk 'BEGIN {RS=""; ORS="\n\n"} NR>=3 {print}' | escape
  echo ".fi"
  echo ".SH COMMANDS"
  for command in $commands; do
    echo ".SS $command"
    echo ".nf"
    "$tool" "$command" --help | escape
    echo ".fi"
  done
  echo ".SH ENVIRONMENT"
  echo ".TP"
  echo ".B PRAVEL_DEVICE"
  echo "The bridge's driver when \\fB\\-\\-device\\fR is not given: emulated, libftdi or ftd2xx."
  echo ".TP"
  echo ".B PRAVEL_EMULATED_CHIP\\fR, \\fBPRAVEL_EMULATED_IMAGE"
  echo "The emulated instrument's flash chip and the file that keeps its contents."
  echo ".SH SEE ALSO"
  echo ".BR pravel-fw-loader (1)"
} > "$out"
