#!/usr/bin/env bash
# Runs scripts/check-include-loops on small trees with known answers, then
# on the real tree. Usage: check_include_loops_test.sh SOURCE_ROOT
set -uo pipefail
root=$1
check="$root/scripts/check-include-loops"
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

put() {  # put TREE FILE CONTENT
  mkdir -p "$tmp/$1/$(dirname "$2")"
  printf '%s\n' "$3" >"$tmp/$1/$2"
}

# Two units whose sources include each other's headers.
put pair apply/a.h '#pragma once'
put pair apply/a.cpp '#include "apply/a.h"
#include "apply/b.h"'
put pair apply/b.h '#pragma once'
put pair apply/b_posix.cpp '#include "apply/b.h"
#include "apply/a.h"'
expect 1 '^src/apply: a -> b -> a$' "$tmp/pair"

# A loop through three units, written with blanks inside the directive.
put three data/x.h '# include "data/y.h"'
put three data/y.cpp '#  include "data/z.h"'
put three data/z.cpp '#include "data/x.h"'
expect 1 '^src/data: x -> y -> z -> x$' "$tmp/three"

# Tests and other folders' headers of the same name make no loop.
put clean apply/a.cpp '#include "apply/b.h"'
put clean apply/b_test.cpp '#include "apply/a.h"'
put clean apply/b.cpp '#include "session/a.h"'
expect 0 '^$' "$tmp/clean"

# The tree itself.
expect 0 '^$' "$root/src"

exit $((failures > 0))
