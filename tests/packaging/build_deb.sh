#!/usr/bin/env bash
# build_deb.sh CPACK BUILD OUT — builds the Debian package of the build tree into an
# empty OUT, once, for the tests that inspect it.
set -euo pipefail
cpack=$1
build=$2
out=$3

rm -rf "$out"
mkdir -p "$out"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out"
shopt -s nullglob
debs=("$out"/*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  echo "expected one package in $out, found ${#debs[@]}" >&2
  exit 1
fi
echo "built ${debs[0]}"
