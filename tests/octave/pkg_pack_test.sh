#!/bin/sh
# `make octave-pkg` as a user without GoogleTest runs it: configured on its
# own with the tests off, it packs the help, the data helper and the sources,
# and nothing of the tests.   pkg_pack_test.sh SOURCE_DIR SCRATCH_BUILD_DIR
set -u
source_dir=$1 scratch=$2
rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
make -C "$source_dir" --no-print-directory octave-pkg SETUP=: BUILD="$scratch" >"$scratch/make.log" 2>&1 \
  || { cat "$scratch/make.log"; echo "FAILED: make octave-pkg"; exit 1; }
failed=0
grep -q '^QUORV_TESTS:BOOL=OFF' "$scratch/octave-pkg-config/CMakeCache.txt" \
  || { echo "FAILED: make octave-pkg configured the tests (and so needs GoogleTest)"; failed=1; }
tarball=$(ls "$scratch"/quorv-*.tar.gz) || exit 1
listing=$(tar -tzf "$tarball" | sed 's|^[^/]*/||')
for f in DESCRIPTION INDEX COPYING src/Makefile inst/quorv_train.m inst/quorv_perf.m inst/quorv_demo.m \
         inst/quorv_data.m inst/data/iris.csv inst/quorv.m inst/quorv_fit.m inst/quorv_predict.m \
         inst/quorv_read_model.m inst/quorv_write_model.m src/matlab/quorv_model_mex.cpp src/front/model.cpp; do
  echo "$listing" | grep -qx "$f" || { echo "FAILED: $f is not in $tarball"; failed=1; }
done
extra=$(echo "$listing" | grep -E 'test|gtest|make\.m$')
[ -z "$extra" ] || { echo "FAILED: $tarball carries $extra"; failed=1; }
echo "$(echo "$listing" | grep -c .) entries in $tarball"
exit $failed
