#!/usr/bin/env bash
# Runs one stage of `make test` quietly: everything a step prints goes to the
# stage's log, and the screen gets a few lines per step (what ran, how long it
# took, how many tests passed and were skipped, and why), so that a whole
# `make test` stays short. When a step fails, its own output is shown in full
# (less the progress lines of make and the fuzzer), and the log keeps the rest.
#
#   stage.sh start LOG TITLE           names the stage and its log, empties the log
#   stage.sh step LOG TEXT -- CMD...   runs CMD; "TEXT: done (12 s)"
#   stage.sh ctest LOG -- CMD...       runs ctest (CMD); its summary line, the
#                                      skipped tests by reason, failed tests' output
#   stage.sh fuzz LOG -- CMD...        runs a libFuzzer program; its final statistics
# The status is CMD's. A new stage is a make target of three such lines.
set -uo pipefail

usage() { echo "usage: $0 start LOG TITLE | {step LOG TEXT|ctest LOG|fuzz LOG} -- CMD..." >&2; exit 2; }
[ $# -ge 3 ] || usage
kind=$1 log=$2
shift 2

if [ "$kind" = start ]; then
  mkdir -p "$(dirname "$log")" && : >"$log" || exit 1
  echo "==== $* (log: $log)"
  exit 0
fi

text=""
if [ "$kind" = step ]; then
  text=$1
  shift
fi
[ "${1:-}" = "--" ] && [ $# -ge 2 ] || usage
shift

# Each step's part of the log is also kept on its own, to read back from.
part=$(mktemp) || exit 1
trap 'rm -f "$part" "$part.xml"' EXIT
{ echo "==== $(date -u '+%H:%M:%S') $*"; } >>"$log"
started=$(date +%s)
extra=()
[ "$kind" = ctest ] && extra=(--output-on-failure --output-junit "$part.xml")
"$@" "${extra[@]}" >"$part" 2>&1 </dev/null
status=$?
elapsed=$(( $(date +%s) - started ))
cat "$part" >>"$log"
echo "==== exit status $status after $elapsed s" >>"$log"
took="$((elapsed / 60)) min $((elapsed % 60)) s"
[ $elapsed -lt 60 ] && took="$elapsed s"

# Lines that only say how far make or the fuzzer have got.
progress='^\[ *[0-9]+%\] |^(gmake|make)\[[0-9]+\]: (Entering|Leaving) directory|^Scanning dependencies|^Consolidate compiler|^#[0-9]+[[:space:]]+(INITED|NEW|REDUCE|pulse|RELOAD)'

case $kind in
step)
  if [ $status -eq 0 ]; then
    echo "  $text: done ($took)"
  else
    grep -Ev "$progress" "$part"
    echo "==== FAILED: $text (exit status $status; full output in $log)"
  fi
  ;;
ctest)
  # The output of each failed test: ctest prints it under the test's status line.
  awk '/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: /{show = /\*\*\*/ && !/\*\*\*Skipped/} /^[0-9]+% tests passed/{show = 0}
       show && !/^ +Start +[0-9]+: /' "$part"
  summary=$(grep -E '^[0-9]+% tests passed' "$part")
  if [ -z "$summary" ]; then
    grep -Ev "$progress" "$part"
    echo "==== FAILED: ctest gave no summary (exit status $status; full output in $log)"
    exit $(( status ? status : 1 ))
  fi
  echo "  $summary ($took)"
  # Skipped tests grouped by the reason they printed (a script's "skipped: ..."
  # line, or the line after GoogleTest's "Skipped").
  if [ -s "$part.xml" ] && command -v python3 >/dev/null; then
    python3 - "$part.xml" <<'EOF'
import collections, re, sys, xml.etree.ElementTree as ET
reasons = collections.OrderedDict()
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    if case.find("skipped") is None:
        continue
    out = (case.findtext("system-out") or "").splitlines()
    why = ""
    for k, line in enumerate(out):
        m = re.match(r"\s*skipped:?\s*(.*)", line, re.I)
        if re.search(r": Skipped$", line) and k + 1 < len(out):
            why = out[k + 1].strip()
        elif m and m.group(1):
            why = m.group(1).strip()
        if why:
            break
    reasons.setdefault(why or "no reason given", []).append(case.get("name"))
if not reasons:
    print("  skipped: none")
for why, names in reasons.items():
    shown = ", ".join(names[:3]) + (f" and {len(names) - 3} more" if len(names) > 3 else "")
    print(f"  skipped {len(names)}: {why} ({shown})")
EOF
  else
    sed -n '/^The following tests did not run:/,/^$/p' "$part" | sed 's/^/  /'
  fi
  [ $status -eq 0 ] || echo "==== FAILED: $(grep -cE '\*\*\*(Failed|Timeout|Exception|Not Run)' "$part") tests failed (full output in $log)"
  ;;
fuzz)
  if [ $status -eq 0 ]; then
    grep -E '^(Done [0-9]+ runs|stat::)' "$part" | sed 's/^/  /'
    echo "  fuzzing: done ($took)"
  else
    grep -Ev "$progress" "$part"
    echo "==== FAILED: the fuzzer stopped with exit status $status (full output in $log)"
  fi
  ;;
*)
  usage
  ;;
esac
exit $status
