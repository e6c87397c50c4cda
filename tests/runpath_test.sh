#!/usr/bin/env bash
# Every ELF file of a build tree (programs, the host library, plug-ins, test
# programs, the Python extension) may name library search paths only relative
# to its own folder ($ORIGIN) or absolutely. An empty entry, or a relative one,
# is searched from the current folder: a library placed where a user runs the
# tool would be loaded into it. A build folder or install prefix with ':' (the
# entry separator) or '$' in its path is refused when configured.
#   runpath_test.sh BUILD_DIR [SOURCE_DIR CMAKE]
set -uo pipefail

build=$1 source=${2:-} cmake=${3:-}
command -v readelf >/dev/null || { echo "skipped: readelf not found (Debian package binutils)"; exit 77; }

failed=0
if [ -n "$source" ]; then
  work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
  while IFS='|' read -r folder prefix; do
    out=$("$cmake" -S "$source" -B "$work/$folder" -DCMAKE_INSTALL_PREFIX="$prefix" -DQUORV_PYTHON=OFF 2>&1)
    status=$?
    if [ $status -eq 0 ] || [[ "$out" != *"holds ':' or '\$'"* ]]; then
      echo "FAILED: configuring $folder with prefix $prefix was not refused (exit $status):"
      echo "$out" | tail -5
      failed=1
    else
      echo "refused: build folder $folder, install prefix $prefix"
    fi
  done <<LIST
lon:build|/usr/local
cost\$ORIGIN|/usr/local
plain|/opt/q:lib
LIST
fi

checked=0
while IFS= read -r -d '' file; do
  [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
  checked=$((checked + 1))
  # Lines such as: 0x...1d (RUNPATH)  Library runpath: [$ORIGIN:/usr/lib]
  while IFS= read -r line; do
    kind=$(sed -E 's/.*\((RUNPATH|RPATH)\).*/\1/' <<<"$line")
    list=$(sed -E 's/.*: \[(.*)\]$/\1/' <<<"$line")
    # Empty fields ("a::b", "a:", or nothing at all) are kept as empty entries.
    mapfile -t entries < <(awk -F: '{ if (NF == 0) print ""; for (i = 1; i <= NF; i++) print $i }' <<<"$list")
    for entry in "${entries[@]}"; do
      case $entry in
        /* | '$ORIGIN' | '$ORIGIN/'* | '${ORIGIN}' | '${ORIGIN}/'*) ;;
        '') echo "FAILED: ${file#"$build"/}: empty $kind entry (the current folder) in [$list]"; failed=1 ;;
        *) echo "FAILED: ${file#"$build"/}: relative $kind entry '$entry' in [$list]"; failed=1 ;;
      esac
    done
  done < <(readelf -d "$file" 2>/dev/null | grep -E '\((RUNPATH|RPATH)\)')
done < <(find "$build" \( -name wineprefix -o -name CMakeFiles \) -prune -o -type f -size +1k -print0)

echo "$checked ELF files checked"
[ "$checked" -gt 0 ] || { echo "FAILED: no ELF file found in $build"; exit 1; }
exit $failed
