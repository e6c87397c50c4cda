#!/usr/bin/env bash
# `cmake --install` of a built tree gives a quorv that runs from any folder
# with its host library, its plug-ins (byte for byte the digested ones) and
# its data; nothing is relinked. Installed under the configured prefix (here
# staged with DESTDIR) the tool searches that prefix's lib first; under
# another prefix only beside itself, never a prefix it does not live in.
#   install_test.sh BUILD_DIR CMAKE CONFIGURED_PREFIX
set -uo pipefail
build=$(cd "$1" && pwd) cmake=$2 configured=$3
command -v readelf >/dev/null || { echo "skipped: readelf not found (Debian package binutils)"; exit 77; }
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

# case | how to install | where the tree lands | the search path the tool must carry
while IFS='|' read -r name how root runpath; do
  log=$work/$name.log
  (cd "$work" && eval "$how") >"$log" 2>&1 || { fail "$name: the install failed: $(cat "$log")"; continue; }
  for file in bin/quorv lib/libquorv_minihost.so lib/quorv/quorv_train.mexa64 lib/quorv/quorv_perf.mexa64 \
    lib/quorv/quorv_train.mexa64.sha256 lib/quorv/quorv_perf.mexa64.sha256 share/quorv/data/iris.csv; do
    [ -f "$root/$file" ] || fail "$name: $file was not installed"
  done
  for plugin in quorv_train.mexa64 quorv_perf.mexa64; do
    cmp -s "$build/$plugin" "$root/lib/quorv/$plugin" || fail "$name: $plugin differs from the built one"
    (cd "$root/lib/quorv" && sha256sum -c --quiet "$plugin.sha256") || fail "$name: $plugin does not match its digest"
  done
  got=$(readelf -d "$root/bin/quorv" | sed -nE 's/.*\((RUNPATH|RPATH)\).*: \[(.*)\]$/\2/p')
  [ "$got" = "$runpath" ] || fail "$name: bin/quorv searches [$got], not [$runpath]"
  # From an empty folder elsewhere, the bundled data found beside the install.
  mkdir -p "$work/empty-$name" && cd "$work/empty-$name" || exit 1
  out=$(env -u QUORV_PLUGIN_DIR "$root/bin/quorv" demo 2>&1) || fail "$name: quorv demo failed: $out"
  [[ "$out" == *"$root/bin/../share/quorv/data/iris.csv"* ]] || fail "$name: the demo did not read the installed data: $(head -1 <<<"$out")"
  [[ "$out" == *Accuracy* ]] || fail "$name: no accuracy in: $out"
  [ -z "$(ls -A .)" ] || fail "$name: the demo left files in the folder it ran in"
  echo "$name: installed into $root, searching [$got]; $(grep '^Accuracy' <<<"$out")"
  cd "$work" || exit 1
done <<LIST
elsewhere|"$cmake" --install "$build" --prefix "$work/elsewhere"|$work/elsewhere|\$ORIGIN/../lib
staged|DESTDIR="$work/staged" "$cmake" --install "$build"|$work/staged$configured|$configured/lib:\$ORIGIN/../lib
LIST
exit $failed
