#!/usr/bin/env bash
# The helper on a real Mac, against real applications: builds the universal binary with the
# recipe of docs/macos.md, checks it (lipo, vtool, --self-test, codesign --verify), then drives
# it through capture and insert and reads the applications back through osascript:
#   1. TextEdit: a new document holding "a😀b c", the caret after "b"; insert "Z"; the
#      document then holds "a😀bZ c" (answer {"ok":true});
#   2. Terminal: a new window at a shell prompt; insert "echo héllo 😀 wörld" (typed, not run);
#      the window's contents then show it (answer "sent-unverified");
#   3. its own parent as host: the helper started by an osascript process that is frontmost
#      refuses to capture from it ("unsupported-field").
#
# Needs macOS with Xcode or the Command Line Tools, CMake and Ninja, a logged-in desktop, and the
# Accessibility permission for the built helper (build-mac/caretsafe), or for the terminal that
# runs this script, which macOS holds responsible for it; osascript also needs Automation
# permission for TextEdit, Terminal and System Events (macOS asks the first time). It creates a
# TextEdit document and a Terminal window and closes both without saving. Written to be run on a
# Mac and by .github/workflows/macos.yml on a hosted macOS runner; neither has been run from
# this repository yet.
#
#   bash scripts/mac-e2e.sh            build, check, drive the applications
#   bash scripts/mac-e2e.sh --no-build use build-mac/caretsafe as it is
#   bash scripts/mac-e2e.sh --dry-run  print every step and check without running any (any OS)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

dry_run=0
build=1
for arg in "$@"; do
  case $arg in
    --dry-run) dry_run=1 ;;
    --no-build) build=0 ;;
    -h | --help)
      sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "mac-e2e: unknown argument $arg (try --help)" >&2
      exit 2
      ;;
  esac
done
if [[ $dry_run == 0 && $(uname -s) != Darwin ]]; then
  echo "mac-e2e: needs macOS; --dry-run prints the steps anywhere" >&2
  exit 2
fi

helper=$root/build-mac/caretsafe
work=$(mktemp -d "${TMPDIR:-/tmp}/caretsafe-mac-e2e.XXXXXX")
failures=0

step() { printf '\n== %s\n' "$*"; }
# Runs a command, or only shows it in a dry run.
run() {
  printf '+ %s\n' "$*"
  [[ $dry_run == 1 ]] || "$@"
}
# An AppleScript, shown in full and run by osascript; its result on standard output.
applescript() {
  printf '+ osascript <<AppleScript\n%s\nAppleScript\n' "$1" >&2
  [[ $dry_run == 1 ]] || osascript -e "$1"
}
check() {
  local what=$1 got=$2 want=$3
  if [[ $dry_run == 1 ]]; then
    printf 'check: %s is %s\n' "$what" "$want"
  elif [[ $got == "$want" ]]; then
    printf 'ok: %s is %s\n' "$what" "$want"
  else
    printf 'FAILED: %s is %s, expected %s\n' "$what" "$got" "$want"
    failures=$((failures + 1))
  fi
}

# --- the helper as a child of this script, one request line at a time ---
# Through two FIFOs rather than a coprocess: macOS's own bash (3.2) has none.
helper_pid=
start_helper() {
  printf '+ start %s (a child of this script, pid %s)\n' "$helper" "$$"
  [[ $dry_run == 1 ]] && return
  rm -f "$work/in" "$work/out"
  mkfifo "$work/in" "$work/out"
  "$helper" <"$work/in" >"$work/out" &
  helper_pid=$!
  exec 3>"$work/in" 4<"$work/out"
}
# Sends one request line and prints the answer line.
ask() {
  printf '> %s\n' "$1" >&2
  [[ $dry_run == 1 ]] && return
  local answer=
  printf '%s\n' "$1" >&3
  IFS= read -r -t 30 answer <&4 || answer='(no answer within 30 s)'
  printf '< %s\n' "$answer" >&2
  printf '%s\n' "$answer"
}
stop_helper() {
  printf '+ stop the helper (end of its input)\n'
  [[ $dry_run == 1 || -z $helper_pid ]] && return
  exec 3>&- 4<&-
  wait "$helper_pid" || true
  helper_pid=
}
# The token of a capture's answer (in a dry run, a stand-in for it).
token_of() {
  if [[ $dry_run == 1 ]]; then echo "<token>"; else sed -n 's/.*"token":"\([0-9A-Za-z-]*\)".*/\1/p' <<<"$1"; fi
}

cleanup() {
  if [[ -n $helper_pid ]]; then kill "$helper_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# ------------------------------------------------------------------ build and static checks

if [[ $build == 1 ]]; then
  step "build the universal binary (docs/macos.md)"
  run cmake --preset mac-universal
  run cmake --build --preset mac-universal
fi

step "the binary"
run lipo -archs "$helper"
[[ $dry_run == 1 ]] || check "lipo -archs" "$(lipo -archs "$helper" | tr ' ' '\n' | sort | xargs)" "arm64 x86_64"
run vtool -show-build "$helper"
run "$helper" --self-test
# The linker signs ad hoc; an unsigned or damaged signature fails here.
run codesign --verify --strict --verbose=2 "$helper"

step "the permission"
start_helper
status=$(ask '{"action":"status"}')
check "status" "$status" '{"ok":true,"trusted":true}'
stop_helper
if [[ $dry_run == 0 && $status != '{"ok":true,"trusted":true}' ]]; then
  echo "mac-e2e: grant the Accessibility permission to $helper (or to this terminal) first" >&2
  exit 1
fi

# ------------------------------------------------------------------ TextEdit

step "TextEdit: insert Z after b in a😀b c"
applescript 'tell application "TextEdit"
  activate
  make new document with properties {text:"a😀b c"}
end tell
delay 1
tell application "System Events" to tell process "TextEdit"
  key code 126 using command down -- to the start of the document
  repeat 3 times
    key code 124 -- right, one character at a time: a, 😀, b
  end repeat
end tell
delay 0.5' >/dev/null
start_helper
captured=$(ask '{"action":"capture"}')
inserted=$(ask "{\"action\":\"insert\",\"token\":\"$(token_of "$captured")\",\"text\":\"Z\"}")
stop_helper
check "the insert's answer" "$inserted" '{"ok":true}'
document=$(applescript 'tell application "TextEdit" to get text of front document')
check "the document" "$document" "a😀bZ c"
applescript 'tell application "TextEdit" to close front document saving no' >/dev/null

# ------------------------------------------------------------------ Terminal

step "Terminal: type echo héllo 😀 wörld at a shell prompt"
applescript 'tell application "Terminal"
  activate
  do script ""
end tell
delay 2' >/dev/null
start_helper
captured=$(ask '{"action":"capture"}')
inserted=$(ask "{\"action\":\"insert\",\"token\":\"$(token_of "$captured")\",\"text\":\"echo héllo 😀 wörld\"}")
stop_helper
check "the insert's answer" "$inserted" '{"ok":true,"delivery":"sent-unverified"}'
sleep 1
contents=$(applescript 'tell application "Terminal" to get contents of selected tab of front window')
shown=no
[[ $contents == *"echo héllo 😀 wörld"* ]] && shown=yes
check "the window shows the typed line" "$shown" yes
applescript 'tell application "Terminal" to close front window saving no' >/dev/null

# ------------------------------------------------------------------ the helper's own parent

step "its own parent: an osascript process, frontmost, starts the helper and is refused"
printf '{"action":"capture"}\n' >"$work/requests"
# `exec` makes the helper the child of osascript itself, not of a shell in between.
applescript "tell me to activate
delay 1
do shell script \"exec '$helper' < '$work/requests' > '$work/answers'\"" >/dev/null
answer=$([[ $dry_run == 1 ]] || cat "$work/answers")
check "the capture's answer" "$answer" '{"ok":false,"reason":"unsupported-field"}'

step "summary"
if [[ $dry_run == 1 ]]; then
  echo "dry run: nothing was run"
elif ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
else
  echo "every check passed"
fi
