#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, only those missing.
#   install-deps.sh          build, tests, the window's QML runtime, the
#                            Debian package's checks and a virtual X server
#   install-deps.sh --cross  also the mingw-w64 cross compiler and Wine (CI)
#   install-deps.sh --fuzz   also clang and its libFuzzer runtime (scripts/fuzz.sh)
set -euo pipefail

# The one list of what a fresh machine needs.
build_packages=(
  cmake ninja-build g++ pkg-config
  qtbase5-dev qtdeclarative5-dev qtquickcontrols2-5-dev
  qml-module-qtquick2 qml-module-qtquick-controls2 qml-module-qtquick-layouts
  qml-module-qtquick-window2 qml-module-qt-labs-platform qml-module-qttest
  libftdi1-dev libgtest-dev libgmock-dev nlohmann-json3-dev libssl-dev
  libqt5svg5 qml-module-qtquick-templates2
  flashrom openfpgaloader zlib1g-dev nlohmann-json3-dev
)
# The Debian package and its checks (scripts/package-deb.sh).
package_packages=(dpkg-dev file desktop-file-utils appstream lintian man-db)
# The screenshots and the demo under a virtual X server.
display_packages=(xvfb xauth)
# The Windows build: mingw-w64, GoogleTest sources to build for Windows, and
# Wine to run what was built.
cross_packages=(g++-mingw-w64-x86-64-posix googletest wine wine64)
fuzz_packages=(clang libclang-rt-14-dev)

wanted=("${build_packages[@]}" "${package_packages[@]}" "${display_packages[@]}")
case "${1:-}" in
  --cross) wanted+=("${cross_packages[@]}") ;;
  --fuzz) wanted+=("${fuzz_packages[@]}") ;;
  "") ;;
  *) echo "usage: $0 [--cross | --fuzz]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [[ "$status" == installed ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
"${sudo[@]}" apt-get update
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
