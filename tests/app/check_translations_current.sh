#!/usr/bin/env bash
# check_translations_current.sh LUPDATE SOURCE OPTION...
# The catalogues in SOURCE/translations hold exactly the texts of the window's
# sources (app/, and engine/ and tasks/, whose texts it shows): lupdate, run
# with the options of `make translations` over copies of them, changes
# nothing. When it would, run `make translations` and translate what it marks
# unfinished.
set -euo pipefail
lupdate=$1
source=$2
shift 2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$source"/translations/*.ts "$work"/
"$lupdate" "$@" -silent -I "$source" "$source/app" "$source/engine" "$source/tasks" -ts "$work"/*.ts

status=0
for ts in "$work"/*.ts; do
  diff -u "$source/translations/$(basename "$ts")" "$ts" || status=1
done
if [ "$status" != 0 ]; then
  echo "translations/ does not hold the texts of app/, engine/ and tasks/ as they are: run make translations" >&2
fi
exit "$status"
