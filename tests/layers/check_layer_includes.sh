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

# One pass of awk a layer over every include line (one process per line took
# seconds).
status=0
for layer in runtime engine tasks cli app; do
  [ -d "$layer" ] || continue
  grep -rnE '^\s*#\s*include\s*["<]' --include='*.h' --include='*.cpp' --include='*.c' "$layer" |
    awk -v layer="$layer" -v allowed=" ${allowed[$layer]} " -v project=" $project " '
      {
        file = $0; sub(/:.*/, "", file)
        rest = substr($0, length(file) + 2)
        line = rest; sub(/:.*/, "", line)
        text = substr(rest, length(line) + 2)
        header = text; sub(/^[^"<]*["<]/, "", header); sub(/[">].*/, "", header)
        if (header ~ /^ui_.*\.h$/ || header ~ /\.moc$/) next # generated beside the form or the test
        slash = index(header, "/")
        if (slash == 0) {
          if (text ~ /^#[ \t]*include[ \t]*"/) {
            printf "%s:%s: \"%s\" names no layer; include it by its path from the repository root\n", file, line, header
            bad = 1
          }
          next
        }
        top = substr(header, 1, slash - 1)
        if (index(project, " " top " ") == 0) next # a system or toolkit header
        if (index(allowed, " " top " ") == 0) {
          printf "%s:%s: %s must not include %s (a layer above its own)\n", file, line, layer, header
          bad = 1
        }
      }
      END { exit bad }' || status=1
done
exit $status
