#!/usr/bin/env bash
# lintian_deb.sh OUT [HARDENED] — lintian on the package built into OUT: no errors
# allowed; warnings are shown, not failed on. With HARDENED 1 (an optimised build
# with KORVEL_HARDENING) every program and shared library in the package must also
# carry Debian's hardening: lintian's hardening tags at every level, and what they
# leave out read from the binaries themselves: position-independent executables,
# full RELRO (read-only relocations, bound at load) and the stack protector.
set -euo pipefail
deb=$(echo "$1"/*.deb)
hardened=${2:-0}
[ -f "$deb" ] || { echo "no package in $1" >&2; exit 1; }
lintian --fail-on error "$deb"
[ "$hardened" = 1 ] || exit 0

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

tags=hardening-no-relro,hardening-no-bindnow,hardening-no-pie,hardening-no-fortify-functions
remarks=$(lintian --tags "$tags" -I -E --pedantic "$deb" || true)
[ -z "$remarks" ] || fail "lintian: $remarks"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
binaries=0
while IFS= read -r -d '' file; do
  header=$(readelf -h "$file" 2>/dev/null) || continue
  grep -q 'Type:.*DYN' <<<"$header" || continue
  binaries=$((binaries + 1))
  name=${file#"$root"}
  dynamic=$(readelf -d "$file")
  if [[ $name == */bin/* ]]; then
    grep -qE '\(FLAGS_1\).*\bPIE\b' <<<"$dynamic" || fail "$name is not a position-independent executable"
  fi
  readelf -lW "$file" | grep -q 'GNU_RELRO' || fail "$name has no RELRO segment"
  grep -qE '\(FLAGS\).*\bBIND_NOW\b|\(FLAGS_1\).*\bNOW\b' <<<"$dynamic" || fail "$name is not bound at load (-z now)"
  readelf --dyn-syms -W "$file" | grep -q '__stack_chk_fail' || fail "$name has no stack protector"
done < <(find "$root" -type f \( -path '*/bin/*' -o -name '*.so*' \) -print0)
[ "$binaries" -gt 0 ] || fail "no programs or shared libraries in the package"
echo "hardening: $binaries binaries checked, $failures failures"
[ "$failures" -eq 0 ]
