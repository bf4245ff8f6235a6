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
# Allowed by the order of the rows, but not named in the including row.
expect 1 '^src/inet/a.cpp:1: inet may not include apply/patch_list.h$' \
  "$(tree sideways inet/a.cpp '#include "apply/patch_list.h"')"
expect 1 'patchserver may not include apply/step_check.h' \
  "$(tree sideways_server patchserver/b.h '#include "apply/step_check.h"')"
expect 1 'crypto may not include os/process.h' "$(tree crypto_os crypto/c.cpp '#include "os/process.h"')"
expect 1 '^src/extra: no row in the layer table$' "$(tree unplaced extra/e.cpp '#include "data/file_io.h"')"
expect 0 '^$' "$(tree crypto_data crypto/d.cpp '#include "data/file_io.h"')"
expect 0 '^$' "$(tree downward ui/z.cpp $'#include "session/ap_thread.h"\n#include "diag/assertion.h"')"
expect 0 '^$' "$(tree same data/w.cpp '#include "data/file_io.h"')"
expect 0 '^$' "$(tree tools tools/jpatch/m.cpp '#include "app/startup.h"')"
expect 0 '^$' "$(tree outside data/t.cpp '#include "support/test_support.h"')"
expect 0 '^$' "$root/src"
exit $((failures > 0))
