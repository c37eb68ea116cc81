#!/usr/bin/env bash
# The main job on the simulated desktop: caretsafe-sim answers a session of request lines
# (examples/session.jsonl) against an example desktop (examples/desktop.json). A line's
# "$TOKEN" is replaced by the token of the latest capture, as a host application would do.
# The platform operations the program made are printed from the journal afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
desktop=${1:-examples/desktop.json}
session=${2:-examples/session.jsonl}
[ -x build/caretsafe-sim ] || bash scripts/build.sh >/dev/null

journal=$(mktemp)
trap 'rm -f "$journal"' EXIT
coproc SIM { CARETSAFE_DESKTOP="$desktop" CARETSAFE_JOURNAL="$journal" exec build/caretsafe-sim; }
# Bash unsets SIM_PID once the coprocess has ended, which may be before the wait below.
sim_pid=$SIM_PID
token=""
while IFS= read -r line || [ -n "$line" ]; do
  line=${line//\$TOKEN/$token}
  printf '> %s\n' "$line"
  printf '%s\n' "$line" >&"${SIM[1]}"
  IFS= read -r answer <&"${SIM[0]}"
  printf '< %s\n' "$answer"
  if [[ $answer =~ \"token\":\"([0-9A-F-]{36})\" ]]; then token=${BASH_REMATCH[1]}; fi
done < "$session"
exec {SIM[1]}>&-
wait "$sim_pid"
echo
echo "journal ($(wc -l < "$journal") platform operations):"
cat "$journal"
