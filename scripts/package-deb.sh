#!/usr/bin/env bash
# Builds the Debian package and checks it the way Debian would.
#   package-deb.sh    build in build-deb/ (under PRAVEL_BUILD_ROOT, default:
#                     the repository), leave the .deb there, then run
#                     desktop-file-validate, appstreamcli validate and lintian
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
root=${PRAVEL_BUILD_ROOT:-$repo}
build="$root/build-deb"

"$repo/scripts/install-deps.sh"

desktop-file-validate "$repo/packaging/pravel-fw-loader.desktop"
appstreamcli validate --no-net "$repo/packaging/com.corvane.PravelFwLoader.metainfo.xml"

# An optimised build without the tests, installed under /usr. Warnings are
# the test builds' business (-Werror there).
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DPRAVEL_BUILD_TESTS=OFF -DPRAVEL_WERROR=OFF
cmake --build "$build" -- -j2
rm -f "$build"/pravel-fw-loader_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/pravel-fw-loader_*.deb)

echo "== $deb"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
dpkg-deb --contents "$deb"

# No errors allowed; warnings are shown.
lintian --fail-on error --no-tag-display-limit "$deb" || {
  echo "package-deb.sh: lintian found errors in $deb" >&2
  exit 1
}
echo "package-deb.sh: $deb passes desktop-file-validate, appstreamcli validate and lintian"
