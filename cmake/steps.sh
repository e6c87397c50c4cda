#!/usr/bin/env bash
# Runs a long build quietly but visibly: its whole output goes to LOG, and the
# screen gets one line per finished target ("  [ 45%] quorv_core, 1 min 3 s"),
# so that minutes of compiling never look like a hang. On failure the output
# is shown in full (less make's progress lines). The status is CMD's.
#   steps.sh LOG -- CMD...
set -uo pipefail
[ $# -ge 3 ] && [ "$2" = "--" ] || { echo "usage: $0 LOG -- CMD..." >&2; exit 2; }
log=$1
shift 2
mkdir -p "$(dirname "$log")" || exit 1
started=$(date +%s)
took() {
  local s=$(( $(date +%s) - started ))
  if [ $s -lt 60 ]; then echo "$s s"; else echo "$((s / 60)) min $((s % 60)) s"; fi
}
"$@" </dev/null 2>&1 | tee "$log" | while IFS= read -r line; do
  if [[ $line =~ ^\[\ *([0-9]+%)\]\ Built\ target\ (.*)$ ]]; then
    printf '  [%4s] %s, %s\n' "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}" "$(took)"
  fi
done
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
  grep -Ev '^\[ *[0-9]+%\] |^g?make\[[0-9]+\]: (Entering|Leaving) directory' "$log"
  echo "==== the build failed (exit status $status; log: $log)"
fi
exit "$status"
