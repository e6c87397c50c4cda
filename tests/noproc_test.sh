#!/usr/bin/env bash
# Without /proc (a container or chroot that does not mount it), the tool must
# say so, and never look for its plug-ins in the current folder.
#   noproc_test.sh QUORV
# Skipped (77) where a private mount namespace cannot be made (not root).
set -uo pipefail
quorv=$1 build=$(dirname "$1")
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
cp "$build"/quorv_train.mexa64* "$build"/quorv_perf.mexa64* "$work"/  # bait in the current folder
cd "$work" || exit 1
unshare -m sh -c 'umount -l /proc' 2>/dev/null || { echo "skipped: cannot unmount /proc in a mount namespace"; exit 77; }

failed=0
while IFS='|' read -r env expected; do
  out=$(unshare -m sh -c "umount -l /proc && env $env '$quorv' demo" 2>&1)
  status=$?
  echo "$env: exit $status: $out"
  [ $status -eq 1 ] || { echo "FAILED: exit status $status, not 1"; failed=1; }
  [[ "$out" == *"$expected"* ]] || { echo "FAILED: does not say '$expected'"; failed=1; }
done <<LIST
QUORV_THREADS=1|/proc/self/exe cannot be read (is /proc mounted?)
QUORV_PLUGIN_DIR=$build|/proc is not mounted (the loader opens plug-ins through /proc/self/fd)
LIST
exit $failed
