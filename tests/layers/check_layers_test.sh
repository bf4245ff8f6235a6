#!/usr/bin/env bash
# Runs scripts/check-layers on small trees with known answers, then on the
# real tree. Usage: check_layers_test.sh SOURCE_ROOT
set -uo pipefail
root=$1
check="$root/scripts/check-layers"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

expect() {  # expect WANTED_RC WANTED_OUTPUT_PATTERN TREE
  local rc out
  out=$("$check" "$3" 2>&1); rc=$?
  if [ "$rc" -ne "$1" ] || ! grep -q -E -- "$2" <<<"$out"; then
    echo "FAIL: $3: rc $rc (wanted $1), output: $out"
    failures=$((failures + 1))
  fi
}

tree() {  # tree NAME FILE CONTENT: a tree holding one file
  mkdir -p "$tmp/$1/$(dirname "$2")"
  printf '%s\n' "$3" >"$tmp/$1/$2"
  echo "$tmp/$1"
}

expect 1 '^src/data/x.cpp:2: data may not include ui/main_frame.h$' \
  "$(tree upward data/x.cpp $'#include <vector>\n#include "ui/main_frame.h"')"
expect 1 'session may not include app/startup.h' \
  "$(tree upward_header session/y.h '  #  include "app/startup.h"  // spaced')"
expect 0 '^$' "$(tree downward ui/z.cpp $'#include "session/ap_thread.h"\n#include "diag/assertion.h"')"
expect 0 '^$' "$(tree same data/w.cpp '#include "data/file_io.h"')"
expect 0 '^$' "$(tree tools tools/jpatch/m.cpp '#include "app/startup.h"')"
expect 0 '^$' "$(tree outside data/t.cpp '#include "support/test_support.h"')"
expect 0 '^$' "$root/src"
exit $((failures > 0))
