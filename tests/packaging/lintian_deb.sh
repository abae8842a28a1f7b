#!/usr/bin/env bash
# lintian_deb.sh OUT — lintian on the package built into OUT: no errors allowed.
# Warnings are shown, not failed on.
set -euo pipefail
deb=$(echo "$1"/*.deb)
[ -f "$deb" ] || { echo "no package in $1" >&2; exit 1; }
lintian --fail-on error "$deb"
