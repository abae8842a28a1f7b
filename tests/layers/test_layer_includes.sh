#!/usr/bin/env bash
# The layer check itself: each planted include must fail it or pass it as the table says.
set -u
check=$(dirname "$0")/check_layer_includes.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
run=0
# file | include line | expected exit status (0 passes, 1 fails the check)
while IFS='|' read -r file include expected; do
  [ -n "$file" ] || continue
  tree=$work/$run
  mkdir -p "$tree/$(dirname "$file")"
  printf '%s\n' "$include" >"$tree/$file"
  "$check" "$tree" >/dev/null
  got=$?
  if [ "$got" != "$expected" ]; then
    echo "FAIL: $file with '$include': exit $got, expected $expected"
    failures=$((failures + 1))
  fi
  run=$((run + 1))
done <<'TABLE'
engine/Bad.cpp|#include "app/MainWindow.h"|1
engine/Bad.h|#include "tasks/TaskManager.h"|1
engine/Bad.cpp|#include "cli/CliOptions.h"|1
tasks/Bad.cpp|#include "app/BusyDialog.h"|1
tasks/Bad.cpp|#include "cli/CliRunner.h"|1
cli/Bad.cpp|#include "tasks/TaskManager.h"|1
cli/Bad.cpp|#include "app/MainWindow.h"|1
runtime/src/bad.cpp|#include "engine/zervcrypto.h"|1
runtime/include/kv/bad.h|#include <engine/Task.h>|1
engine/Bad.cpp|#include "DecryptManager.h"|1
app/Good.cpp|#include "tasks/TaskManager.h"|0
app/Good.cpp|#include "ui_MainWindow.h"|0
cli/Good.cpp|#include "engine/DecryptManager.h"|0
engine/Good.cpp|#include "kv/kv_file.h"|0
engine/Good.cpp|#include <QObject>|0
runtime/src/good.cpp|#include "runtime/src/kv_internal.h"|0
TABLE

echo "$((run - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
