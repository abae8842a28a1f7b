#!/usr/bin/env bash
# lintian_deb.sh OUT [HARDENED] — lintian on the package built into OUT: no errors
# allowed; warnings are shown, not failed on. With HARDENED 1 (an optimised build
# with KORVEL_HARDENING) every program and shared library in the package must also
# carry Debian's hardening: no remark from lintian's RELRO, bind-now and PIE checks
# at any level, and, read from the binaries themselves, position-independent
# executables, full RELRO (read-only relocations, bound at load), the stack
# protector and fortified libc calls. Lintian's own fortify check knows only the
# __*_chk names and so remarks on a program whose one fortified call is __open_2;
# the check here counts both.
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

tags=hardening-no-relro,hardening-no-bindnow,hardening-no-pie
remarks=$(lintian --tags "$tags" -I -E --pedantic "$deb" || true)
[ -z "$remarks" ] || fail "lintian: $remarks"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
binaries=0
while IFS= read -r -d '' file; do
  header=$(readelf -h "$file" 2>/dev/null) || continue
  grep -qE 'Type:[[:space:]]+(EXEC|DYN)' <<<"$header" || continue
  binaries=$((binaries + 1))
  name=${file#"$root"}
  # Read into variables first: grep -q ending a pipe early would fail it under pipefail.
  dynamic=$(readelf -d "$file")
  segments=$(readelf -lW "$file")
  imports=$(readelf --dyn-syms -W "$file" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')
  if [[ $name == */bin/* ]]; then
    grep -qE '\(FLAGS_1\).*\bPIE\b' <<<"$dynamic" || fail "$name is not a position-independent executable"
  fi
  grep -q 'GNU_RELRO' <<<"$segments" || fail "$name has no RELRO segment"
  grep -qE '\(FLAGS\).*\bBIND_NOW\b|\(FLAGS_1\).*\bNOW\b' <<<"$dynamic" || fail "$name is not bound at load (-z now)"
  grep -qx '__stack_chk_fail' <<<"$imports" || fail "$name has no stack protector"
  grep -qE '^__[a-z0-9_]+(_chk|_2)$' <<<"$imports" || fail "$name calls no fortified libc function"
done < <(find "$root" -type f \( -path '*/bin/*' -o -name '*.so*' \) -print0)
[ "$binaries" -gt 0 ] || fail "no programs or shared libraries in the package"
echo "hardening: $binaries binaries checked, $failures failures"
[ "$failures" -eq 0 ]
