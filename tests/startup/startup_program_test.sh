#!/bin/bash
# Starts tarv-patcher as a player's launcher would and checks what it prints,
# what its window shows (through the session log, TARV_PATCHER_LOG) and what
# it starts when the window is closed with its Exit button.
# Usage: startup_program_test.sh PATH-TO-tarv-patcher  (needs an X display)
set -u
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export OBELK_MACHINE_REGISTRY=$work/machine.conf OBELK_USER_REGISTRY=$work/user.conf
passed=0
failed=0

check() {  # check NAME CONDITION-EXIT-CODE
  if [ "$2" -eq 0 ]; then passed=$((passed + 1)); echo "ok: $1"
  else failed=$((failed + 1)); echo "FAILED: $1"; fi
}

# The latest description of the window in the session log, as one JSON
# object; the window writes one when it receives SIGUSR1.
describe_window() {  # describe_window PID LOG
  local before
  before=$(grep -c '"window"' "$2" 2>/dev/null)
  kill -USR1 "$1"
  for _ in $(seq 1 600); do
    [ "$(grep -c '"window"' "$2" 2>/dev/null)" -gt "$before" ] && break
    sleep 0.1
  done
  grep '"window"' "$2" | tail -n 1
}

wait_for_finish() {  # wait_for_finish LOG
  for _ in $(seq 1 600); do
    grep -q '"event":"finished"' "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# Clicks the Exit button as a player would, at the middle of its rectangle.
click_exit() {  # click_exit PID LOG
  local window rect
  window=$(timeout 60 xdotool search --sync --onlyvisible --pid "$1" --name "Obelk Patcher" | head -n 1)
  [ -n "$window" ] || return 1
  rect=$(describe_window "$1" "$2" | python3 -c '
import json, sys
r = json.load(sys.stdin)["window"]["cancel"]["rect"]
print(r[0] + r[2] // 2, r[1] + r[3] // 2)')
  # shellcheck disable=SC2086
  xdotool mousemove --window "$window" $rect click 1
}

wait_for_window() {  # wait_for_window LOG
  for _ in $(seq 1 600); do
    grep -q '"window"' "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# Runs the patcher in folder $1 with the rest as arguments until its window
# is up (and, in download mode, its session has finished), clicks the
# Cancel/Exit button and waits for the program to end.
run_and_exit() {
  local folder=$1; shift
  rm -f "$work/log.jsonl"
  (cd "$folder" && TARV_PATCHER_LOG=$work/log.jsonl exec "$program" "$@" 2>"$work/stderr") &
  local pid=$!
  wait_for_window "$work/log.jsonl"
  case " $* " in
    *" -p "*) ;;
    *) wait_for_finish "$work/log.jsonl" ;;
  esac
  window_text=$(describe_window "$pid" "$work/log.jsonl")
  click_exit "$pid" "$work/log.jsonl"
  # A window that ignored the click would keep the test waiting for ever.
  for _ in $(seq 1 600); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && { echo "window did not close"; kill "$pid"; }
  wait "$pid"
  exit_code=$?
}

mkdir -p "$work/start" "$work/other"
# The access test must pass for the window to open here (without it the
# patcher asks for elevation): a writable installation with its launcher-page
# folder, and a temporary folder of the test's own.
game=$work/games/tarv
mkdir -p "$game/Binaries/LauncherApp"
export TEMP=$work/temp

# A refused command line ends before any window with exit code 2: the
# parser's complaint on one line, then the usage, on standard error.
rm -f "$work/log.jsonl"
TARV_PATCHER_LOG=$work/log.jsonl "$program" 1.0 >"$work/stdout" 2>"$work/stderr"
code=$?
check "missing folder parameter ends with code 2" $([ $code -eq 2 ] && echo 0 || echo 1)
[ "$(head -n 1 "$work/stderr")" = "The required parameter 'target_directory' was not specified." ]
check "parser names the missing parameter on the first line" $?
sed -n 2p "$work/stderr" | grep -q "^Usage:"; check "parser prints the usage after it" $?
[ ! -s "$work/stdout" ]; check "nothing on standard output after a refusal" $?
! grep -q '"window"' "$work/log.jsonl" 2>/dev/null; check "no window after a refused command line" $?

# -h prints the usage on standard output and ends with 0, even with both
# parameters: no window opens.
rm -f "$work/log.jsonl"
TARV_PATCHER_LOG=$work/log.jsonl "$program" -h -f 1.2 1.0 "$game" >"$work/stdout" 2>"$work/stderr"
check "-h ends with code 0" $?
grep -q "print usage" "$work/stdout"; check "-h prints the usage on standard output" $?
[ ! -s "$work/stderr" ]; check "-h writes nothing to standard error" $?
! grep -q '"window"' "$work/log.jsonl" 2>/dev/null; check "no window after -h" $?

# The relative list file is read from the start folder; Exit starts --onexit.
printf 'ftp://127.0.0.1:9/\n\nhttp://127.0.0.1:9/' > "$work/start/servers.txt"
run_and_exit "$work/start" -l servers.txt -f 1.2 --onexit "touch '$work/on exit ran'" 1.0 "$game"
echo "$window_text" | python3 -c '
import json, sys
w = json.load(sys.stdin)["window"]
expected = ("Patch Installer Version: 30323\nPatching Tarv install from version 1.0 to 1.2\n"
            "Patch server candidate: ftp://127.0.0.1:9/\nPatch server candidate: \n"
            "Patch server candidate: http://127.0.0.1:9/\n")
sys.exit(0 if w["log"].startswith(expected) and w["folder"]["text"] == sys.argv[1] else 1)' "$game"
check "window shows the summary with three candidates from the relative list" $?
check "program ends normally after Exit" "$exit_code"
[ -e "$work/on exit ran" ]; check "on-exit program started after the window closed" $?

# An empty --onexit starts nothing; an unreadable list is reported and the
# window opens all the same.
run_and_exit "$work/other" --onexit= -l missing.txt 1.0 "$game"
grep -q "Failed to read list of servers from missing.txt" "$work/stderr"
check "unreadable list reported on standard error" $?
check "program with empty --onexit ends normally" "$exit_code"
! grep -q "Error creating process" "$work/stderr"; check "empty --onexit starts nothing" $?

# German from the installation record: the usage and the summary follow it.
printf '[SOFTWARE/Obelk/Tarv]\nLanguageID=dword:00000002\n' > "$OBELK_MACHINE_REGISTRY"
"$program" --help >"$work/stdout" 2>/dev/null
grep -q "Aufrufsyntax ausgeben" "$work/stdout"; check "usage in German" $?
run_and_exit "$work/other" -p /patches/1 -s ftp://ignored/ 1.0 "$game"
echo "$window_text" | python3 -c '
import json, sys
log = json.load(sys.stdin)["window"]["log"]
sys.exit(0 if log.startswith("Patch-Installer-Version: 30323\nManueller Patchpfad:      /patches/1\n")
         and "Eigenst\u00e4ndiger Modus.\n" in log and "ignored" not in log else 1)'
check "German summary in local-file mode without servers" $?

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
