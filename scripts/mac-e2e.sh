#!/usr/bin/env bash
# The helper on a real Mac, against real applications: builds the universal binary with the
# recipe of docs/macos.md, checks it (lipo, vtool, --self-test, codesign --verify), then drives
# it through capture and insert and reads the applications back through osascript:
#   1. TextEdit: a new document holding "a😀b c", the caret after "b"; insert "Z"; the
#      document then holds "a😀bZ c" (answer {"ok":true});
#   2. Terminal: a new window at a shell prompt; insert "echo héllo 😀 wörld" (typed, not run);
#      the window's contents then show it (answer "sent-unverified");
#   3. Safari, Google Chrome and Firefox, each that is installed in /Applications (the others
#      are skipped): a local page whose one field holds "ab", the caret after "a", and whose
#      title mirrors the field's value on every input event ("[ab]"); a capture that allows
#      typing, then insert "Zé😀"; answer {"ok":true}, and the window title then shows
#      "[aZé😀b]" (Safari and Chrome: the value is also read through their JavaScript from
#      Apple Events where the user allowed it, and reported as not available where not);
#   4. its own parent as host: the helper started by an osascript process that is frontmost
#      refuses to capture from it ("unsupported-field").
#
# Needs macOS with Xcode or the Command Line Tools, CMake and Ninja, a logged-in desktop, and the
# Accessibility permission for the built helper (build-mac/caretsafe), or for the terminal that
# runs this script, which macOS holds responsible for it; osascript also needs Automation
# permission for TextEdit, Terminal, System Events and the browsers (macOS asks the first time).
# It creates a TextEdit document and a Terminal window and closes both without saving; in each
# browser it opens the page, closes that tab afterwards and quits the browser only if this
# script started it. Written to be run on a Mac and by .github/workflows/macos.yml on a hosted
# macOS runner; neither has been run from this repository yet.
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

# ------------------------------------------------------------------ browsers

# The page every browser gets: one field holding "ab", focused with the caret after "a" once the
# page has loaded, and a title that mirrors the field's value on every input event. System
# Events reads a window's title in every browser, Firefox included, so the title shows the value
# the page itself holds, after the same events a web application would listen to.
page=$work/field.html
page_html='<!doctype html>
<meta charset="utf-8">
<title>caretsafe field</title>
<input id="f" value="ab">
<script>
  var f = document.getElementById("f");
  function mirror() { document.title = "[" + f.value + "]"; }
  f.addEventListener("input", mirror);
  window.addEventListener("load", function () {
    f.focus();
    f.setSelectionRange(1, 1);
    mirror(); // "[ab]": the page has loaded and its field has the focus and the caret
  });
</script>'
step "the page the browsers open"
printf '+ cat >%s <<HTML\n%s\nHTML\n' "$page" "$page_html"
printf '%s\n' "$page_html" >"$page"
# The page's tabs are found again by their address, which holds this run's folder name.
page_marker=${work##*/}

# The bracketed part of a browser's front window title ("[ab]" of "[ab] - Profile 1"), once the
# title shows $2, or whatever it shows after 20 s; empty when the browser shows no window.
page_title() {
  local bundle=$1 want=$2 title=''
  title=$(applescript "tell application \"System Events\" to tell (first process whose bundle identifier is \"$bundle\")
  repeat 40 times
    try
      if name of front window contains \"$want\" then exit repeat
    end try
    delay 0.5
  end repeat
  try
    return name of front window
  end try
end tell") || title=
  sed -n 's/^[^[]*\(\[[^]]*\]\).*/\1/p' <<<"$title"
}

# One browser: the page opened in it, a capture that allows typing (a browser builds its
# accessibility tree on the first one, which takes seconds; ask waits 30 s for an answer), an
# insert of "Zé😀" after the "a" of "ab", and the page's value read back, by the window title and,
# where the browser runs JavaScript from Apple Events, by the page's own script. Only the tab
# the script opened is closed; the browser is quit only when this script started it.
browser() {
  local name=$1 app=$2 bundle=$3
  local js="document.getElementById('f').value"
  local was_running='' loaded='' captured='' token='' answered=no inserted='' value='' read_value=''
  if [[ $dry_run == 0 && ! -d $app ]]; then
    printf 'skipped: %s is not installed\n' "$name"
    return 0
  fi
  step "$name: insert Zé😀 after a in a page's field holding ab"
  was_running=$(applescript "application id \"$bundle\" is running")
  if [[ $bundle == com.google.Chrome ]]; then
    # A first start of Chrome otherwise puts its welcome window over the page; open passes the
    # arguments only when it starts the application.
    run open -a "$app" "$page" --args --no-first-run --no-default-browser-check
  else
    run open -a "$app" "$page"
  fi
  applescript "tell application id \"$bundle\" to activate" >/dev/null
  loaded=$(page_title "$bundle" "[ab]")
  check "$name: the window title once the page has loaded" "$loaded" "[ab]"
  # Without the page in front, its field does not have the focus: nothing is typed anywhere else.
  if [[ $dry_run == 1 || $loaded == "[ab]" ]]; then
    start_helper
    captured=$(ask '{"action":"capture","allowTyping":true}')
    token=$(token_of "$captured")
    [[ $captured == '{"ok":true,'* && -n $token ]] && answered=yes
    check "$name: the capture answered ok with a token" "$answered" yes
    inserted=$(ask "{\"action\":\"insert\",\"token\":\"$token\",\"text\":\"Zé😀\"}")
    stop_helper
    check "$name: the insert's answer" "$inserted" '{"ok":true}'
    check "$name: the page's value, by the window title" "$(page_title "$bundle" "[aZé😀b]")" "[aZé😀b]"
    # Both need the user's "Allow JavaScript from Apple Events" (Safari's Develop menu, Chrome's
    # View > Developer), which is off unless turned on: a read that fails is not available, not
    # a failure; the title above stands for the value then. Firefox has no such scripting.
    case $bundle in
      com.apple.Safari) read_value="tell application id \"$bundle\" to do JavaScript \"$js\" in front document" ;;
      com.google.Chrome) read_value="tell application id \"$bundle\" to execute front window's active tab javascript \"$js\"" ;;
    esac
    if [[ -n $read_value ]]; then
      value=$(applescript "try
  $read_value
on error
  return \"(not available)\"
end try") || value="(not available)"
      if [[ $value == "(not available)" ]]; then
        printf 'not available: %s runs no JavaScript from Apple Events here; the title stands\n' "$name"
      else
        check "$name: the page's value, by its JavaScript" "$value" "aZé😀b"
      fi
    fi
  fi
  # The tab the script opened, closed without saving (a page has nothing to save); closing the
  # last tab of a window closes the window. A tab left open is no fault of the helper's.
  if [[ $bundle == org.mozilla.firefox ]]; then
    # Firefox's tabs cannot be scripted: Command-W to its front window while it shows the page.
    applescript "tell application \"System Events\" to tell (first process whose bundle identifier is \"$bundle\")
  set frontmost to true
  delay 0.5
  if name of front window starts with \"[a\" then keystroke \"w\" using command down
end tell" >/dev/null || echo "mac-e2e: could not close the page in $name" >&2
  else
    applescript "tell application id \"$bundle\"
  repeat with w in windows
    repeat with t in tabs of w
      if URL of t contains \"$page_marker\" then
        close t
        return
      end if
    end repeat
  end repeat
end tell" >/dev/null || echo "mac-e2e: could not close the page in $name" >&2
  fi
  if [[ $was_running == true ]]; then
    printf 'left running: %s was running before this script\n' "$name"
  else
    [[ $dry_run == 0 ]] || printf '(only if %s was not running before this script)\n' "$name"
    applescript "tell application id \"$bundle\" to quit" >/dev/null || true
  fi
}

browser Safari /Applications/Safari.app com.apple.Safari
browser "Google Chrome" "/Applications/Google Chrome.app" com.google.Chrome
browser Firefox /Applications/Firefox.app org.mozilla.firefox

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
