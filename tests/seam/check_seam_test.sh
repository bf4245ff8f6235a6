#!/usr/bin/env bash
# Runs scripts/check-seam on small trees with known answers, then on the real
# tree. Usage: check_seam_test.sh SOURCE_ROOT
set -uo pipefail
root=$1
check="$root/scripts/check-seam"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

expect() {  # expect WANTED_RC WANTED_OUTPUT_PATTERN TREE [PENDING_LIST]
  local rc out
  out=$("$check" "$3" "${4:-/dev/null}" 2>&1); rc=$?
  if [ "$rc" -ne "$1" ] || ! grep -q -E -- "$2" <<<"$out"; then
    echo "FAIL: $3: rc $rc (wanted $1), output: $out"
    failures=$((failures + 1))
  fi
}

tree() {  # tree FILE CONTENT: a fresh tree holding one file
  local dir
  dir=$(mktemp -d "$tmp/tree.XXXX")
  mkdir -p "$dir/$(dirname "$1")"
  printf '%s\n' "$2" >"$dir/$1"
  echo "$dir"
}

# Each kind of POSIX header, in a source file and in a header.
while read -r file header; do
  expect 1 "^src/$file:2: <$header> outside a _posix.cpp file\$" \
    "$(tree "$file" $'#include <string>\n#include <'"$header"'>')"
done <<'EOF2'
data/a.cpp unistd.h
data/a.h sys/types.h
os/b.cpp pthread.h
app/c.cpp csignal
diag/d.cpp dlfcn.h
tools/jpatch/e.cpp sys/mman.h
ui/f.cpp limits.h
session/g_win.cpp fcntl.h
EOF2
# Each kind of Windows header, including in a POSIX file.
while read -r file header; do
  expect 1 "^src/$file:1: <$header> outside a _win.cpp file\$" "$(tree "$file" "#  include <$header>")"
done <<'EOF2'
os/h.cpp windows.h
os/h.h winreg.h
diag/i_posix.cpp dbghelp.h
app/j.cpp shellapi.h
EOF2
# Where they belong, and the standard headers that share a stem.
expect 0 '^$' "$(tree os/k_posix.cpp $'#include <unistd.h>\n#include <sys/stat.h>')"
expect 0 '^$' "$(tree os/k_linux.cpp '#include <sys/syscall.h>')"
expect 0 '^$' "$(tree os/k_win.cpp $'#include <windows.h>\n#include <shlobj.h>')"
expect 0 '^$' "$(tree data/k_test.cpp '#include <fcntl.h>')"
expect 0 '^$' "$(tree data/k_fuzz.cpp '#include <unistd.h>')"
expect 0 '^$' "$(tree data/k.cpp $'#include <limits>\n#include <climits>\n#include <cstdio>\n#include "os/process.h"')"
# The pending list: a listed offender passes, a listed clean file fails.
waiting=$(tree data/l.cpp '#include <unistd.h>')
printf '# comment\nsrc/data/l.cpp\n' >"$tmp/pending"
expect 0 '^$' "$waiting" "$tmp/pending"
printf 'src/data/m.cpp\n' >"$tmp/stale"
expect 1 '^src/data/m.cpp: listed in stale but has no platform header' \
  "$(tree data/m.cpp '#include <string>')" "$tmp/stale"
expect 0 '^$' "$root/src" "$root/scripts/seam-pending"
exit $((failures > 0))
