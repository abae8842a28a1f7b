#!/usr/bin/env bash
# Fails when a source file includes a project header of a layer above its own, or
# names a project header without its layer path.
#   runtime  <- engine <- tasks <- app
#               engine <- cli
# Usage: check_layer_includes.sh ROOT
set -u
root=${1:?usage: check_layer_includes.sh ROOT}
cd "$root" || exit 2

# The project folders each layer may include from; kv/ is the runtime's public headers.
declare -A allowed=(
  [runtime]="kv runtime"
  [engine]="kv engine"
  [tasks]="kv engine tasks"
  [cli]="kv engine cli"
  [app]="kv engine tasks app"
)
project="kv runtime engine tasks app cli"

status=0
for layer in runtime engine tasks cli app; do
  [ -d "$layer" ] || continue
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    header=$(sed -E 's/^[^"<]*["<]([^">]+)[">].*/\1/' <<<"${rest#*:}")
    case $header in
      ui_*.h | *.moc) continue ;; # generated beside the form or the test
    esac
    top=${header%%/*}
    if [ "$top" = "$header" ]; then
      if grep -q '^#\s*include\s*"' <<<"${rest#*:}"; then
        echo "$file:$line: \"$header\" names no layer; include it by its path from the repository root"
        status=1
      fi
      continue
    fi
    [[ " $project " == *" $top "* ]] || continue # a system or toolkit header
    if [[ " ${allowed[$layer]} " != *" $top "* ]]; then
      echo "$file:$line: $layer must not include $header (a layer above its own)"
      status=1
    fi
  done < <(grep -rnE '^\s*#\s*include\s*["<]' --include='*.h' --include='*.cpp' --include='*.c' "$layer")
done
exit $status
