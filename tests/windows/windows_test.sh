#!/usr/bin/env bash
# The Windows build, cross-compiled with MinGW-w64 and run under Wine, against
# the native build: the same command lines must give the same output, the same
# messages, the same exit status and byte-identical files.
#   windows_test.sh CHECK SOURCE_DIR WINDOWS_BUILD_DIR NATIVE_QUORV
# CHECK: build | prefix | gtest | binaries | same | seeds | refusals | noflops | zip.
# Exit status 77 (skipped) when MinGW-w64, Wine or icoutils is missing.
set -uo pipefail

check=$1 source_dir=$2 win=$3 native=$4
mingw=x86_64-w64-mingw32
export WINEPREFIX=$win/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAILED: $*"; failed=1; }
failed=0

command -v $mingw-g++-posix >/dev/null || skip "$mingw-g++-posix not found (Debian package g++-mingw-w64-x86-64)"
wine=$(command -v wine64 || ls /usr/lib/wine/wine64 2>/dev/null) || skip "wine64 not found (Debian package wine64)"

# Runs a Windows program; its console lines end in CR LF, made LF here.
run_wine() {
  local out=$1 err=$2
  shift 2
  "$wine" "$@" >"$out.raw" 2>"$err.raw"
  local status=$?
  tr -d '\r' <"$out.raw" >"$out" && tr -d '\r' <"$err.raw" >"$err" && rm -f "$out.raw" "$err.raw"
  return $status
}

case $check in
build)
  # With the plug-in tests, found and later run through Wine (wine_run.sh).
  [ -d /usr/src/googletest ] || skip "/usr/src/googletest not found (Debian package googletest)"
  mkdir -p "$win" && "$wine" wineboot.exe --init >/dev/null 2>&1  # the prefix, made once before any test runs
  cmake -S "$source_dir" -B "$win" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORV_TESTS=ON \
    "-DCMAKE_CROSSCOMPILING_EMULATOR=$source_dir/tests/windows/wine_run.sh;$WINEPREFIX" \
    >"$win.configure.log" 2>&1 || { cat "$win.configure.log"; exit 1; }
  exec cmake --build "$win" -j 2
  ;;
gtest)
  # The plug-in test programs, cross-built, each run under Wine. A test that
  # fails is run once more: the Wine server sometimes drops a client
  # ("wine client error:0: recvmsg: Connection reset by peer") on a busy
  # machine; a real fault fails both runs.
  cd "$win" && exec ctest --output-on-failure -j 2 --repeat until-pass:2
  ;;
prefix)
  # The build made the prefix (about 10 s the first time); the program starts in it.
  version=$("$wine" "$win/quorv.exe" --version 2>&1 | tr -d '\r')
  status=$?
  echo "quorv.exe --version: $version"
  exit $status
  ;;
binaries)
  command -v wrestool >/dev/null || skip "wrestool not found (Debian package icoutils)"
  cd "$win" || exit 1
  for plugin in quorv_train.mexw64 quorv_perf.mexw64; do
    dump=$($mingw-objdump -p "$plugin")
    exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | grep -E '^\s*\[ *[0-9]+\]' | awk '{print $NF}' | tr '\n' ' ')
    [ "$exports" = "mexFunction " ] || fail "$plugin exports '$exports', not mexFunction alone"
    dlls=$(grep 'DLL Name:' <<<"$dump" | awk '{print $3}' | sort | tr '\n' ' ')
    [ "$dlls" = "KERNEL32.dll libmex.dll libmx.dll msvcrt.dll " ] \
      || fail "$plugin needs $dlls (only the system, libmx.dll and libmex.dll allowed)"
    grep -q 'mexAddFlops' <<<"$dump" && fail "$plugin imports mexAddFlops, which current hosts lack"
    # An independent reader finds the string table, block 7 (ids 96-111), in language 1033 ...
    listing=$(wrestool -l "$plugin")
    echo "$plugin: $listing"
    grep -q -- '--type=6 --name=7 --language=1033' <<<"$listing" || fail "$plugin: no string table 7/1033"
    # ... and in it the two strings, UTF-16 with a length before each.
    text=$(wrestool -x --raw --type=6 --name=7 --language=1033 "$plugin" | iconv -f UTF-16LE -t UTF-8 | tr -c '[:print:]' '|')
    grep -q 'MATLAB 5.1 native|not inlined' <<<"$text" || fail "$plugin: string table holds '$text'"
  done
  for program in quorv.exe libmx.dll libmex.dll; do
    dlls=$($mingw-objdump -p "$program" | grep 'DLL Name:' | awk '{print $3}' | grep -v -x -e KERNEL32.dll -e msvcrt.dll -e libmx.dll)
    [ -z "$dlls" ] || fail "$program needs $dlls beside it (the runtime must be linked in)"
  done
  ;;
same)
  # Command lines run by both builds from one folder, so that paths read alike.
  work=$win/same && rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
  cp "$source_dir"/data/{iris,wine,glass,sonar}.csv .
  while IFS='|' read -r name args; do
    [ -n "$name" ] || continue
    mkdir -p linux windows
    IFS=';' read -ra steps <<<"$args"
    for k in "${!steps[@]}"; do
      (cd linux && "$native" ${steps[$k]} >out.$k 2>err.$k; echo $? >status.$k)
      (cd windows && run_wine out.$k err.$k "$win/quorv.exe" ${steps[$k]}; echo $? >status.$k)
    done
    # The tool's own summaries give the elapsed milliseconds, which differ run to
    # run, and so may the plug-ins' whole seconds; tune's table is all times.
    sed -i -E 's/, [0-9]+ ms$/, N ms/; s/in [0-9]+ seconds/in N seconds/' linux/out.* windows/out.*
    [[ "$name" == tune* ]] && rm -f linux/out.0 windows/out.0
    for f in $(ls linux); do
      cmp -s "linux/$f" "windows/$f" || fail "$name: $f differs: $(diff "linux/$f" "windows/$f" | head -5)"
    done
    [ "$(ls linux)" = "$(ls windows)" ] || fail "$name: files $(ls linux | tr '\n' ' ') vs $(ls windows | tr '\n' ' ')"
    echo "$name: exit status $(cat linux/status.* | tr '\n' ' '), $(ls linux | wc -l) files alike"
    rm -rf linux windows
  done <<EOF
demo|demo --data-dir ..
demo wine|demo --dataset wine --seed 3 --data-dir ..
train and classify iris|train ../iris.csv -o iris.model --verbose 2 ; classify iris.model ../iris.csv -o predictions.csv
train glass, slow learning|train ../glass.csv -o glass.model --vigilance 0.6 --learning-rate 0.3
train sonar, trimmed|train ../sonar.csv -o sonar.model --vigilance 0.4 --trim
tune iris, one worker|tune ../iris.csv --vigilance 0.6,0.8 --learning-rate 1 --folds 3 --jobs 1 -o tuned.model ; info tuned.model
votes and named classes|train ../wine.csv -o wine.model --votes 3 --seed 5 --shuffle ; classify wine.model ../wine.csv -o - --unclassified nearest
vigilance out of range (plug-in error)|train ../iris.csv -o x.model --vigilance 2
missing file|train ../nothing.csv -o x.model
EOF
  ;;
seeds)
  # Seeds beyond 32 bits, where Windows' long ends: a model the Linux tool
  # trained with one is read, described and classified alike under Wine, and
  # the same command line trains the same bytes there (the same draws).
  work=$win/seeds && rm -rf "$work" && mkdir -p "$work/linux" "$work/windows" && cd "$work" || exit 1
  cp "$source_dir"/data/{iris,wine}.csv .
  while IFS='|' read -r name data args; do
    [ -n "$name" ] || continue
    "$native" train $data -o linux/m.model $args >/dev/null 2>linux/err || { fail "$name: Linux: $(cat linux/err)"; continue; }
    run_wine windows/out windows/err "$win/quorv.exe" train $data -o windows/m.model $args \
      || { fail "$name: Windows: $(cat windows/err)"; continue; }
    cmp -s linux/m.model windows/m.model || fail "$name: trained otherwise under Wine: $(diff linux/m.model windows/m.model | head -3)"
    for command in "info linux/m.model" "classify linux/m.model $data -o - --proba"; do
      "$native" $command >linux/out 2>linux/err; echo $? >linux/status
      run_wine windows/out windows/err "$win/quorv.exe" $command; echo $? >windows/status
      sed -i -E 's/, [0-9]+ ms$/, N ms/; s/in [0-9]+ seconds/in N seconds/' linux/out linux/err windows/out windows/err
      for f in out err status; do
        cmp -s linux/$f windows/$f || fail "$name: '$command' $f differs under Wine: $(diff linux/$f windows/$f | head -5)"
      done
    done
    echo "$name: $(grep -c . linux/m.model) model lines, info and classify alike"
  done <<EOF
forest, seed above 2^31|iris.csv|--votes 3 --max-features 2 --seed 3000000000
shuffles, seed above 2^32|wine.csv|--votes 3 --shuffle --seed 5000000000
one shuffle, the largest seed|iris.csv|--shuffle --seed 4611686018427387903
EOF
  ;;
refusals)
  # Files the loader must refuse before running any of their code.
  cd "$win" || exit 1
  head -c 100000 quorv_train.mexw64 >fixtures/cut_short.mexw64
  echo "not a plug-in" >fixtures/text.mexw64
  cp "$(dirname "$native")/quorv_train.mexa64" fixtures/elf.mexw64
  cp quorv_perf.mexw64 fixtures/perf_as_train.mexw64 && cp quorv_perf.mexw64.sha256 fixtures/perf_as_train.mexw64.sha256
  cp quorv_train.mexw64 fixtures/changed.mexw64 && cp quorv_train.mexw64.sha256 fixtures/changed.mexw64.sha256
  printf 'x' | dd of=fixtures/changed.mexw64 bs=1 seek=200000 conv=notrunc 2>/dev/null
  while IFS='|' read -r fixture expected; do
    dir=$win/refusals/$fixture && rm -rf "$dir" && mkdir -p "$dir"
    cp "fixtures/$fixture.mexw64" "$dir/quorv_train.mexw64"
    [ ! -f "fixtures/$fixture.mexw64.sha256" ] || cp "fixtures/$fixture.mexw64.sha256" "$dir/quorv_train.mexw64.sha256"
    QUORV_PLUGIN_DIR=$dir run_wine "$dir/out" "$dir/err" quorv.exe demo
    status=$?
    # Once in a while a loaded Wine gives back nothing of what the program
    # wrote; a second run must then say it.
    if [ ! -s "$dir/err" ]; then
      echo "$fixture: no message; running again"
      QUORV_PLUGIN_DIR=$dir run_wine "$dir/out" "$dir/err" quorv.exe demo
      status=$?
    fi
    message=$(cat "$dir/err")
    [ $status -eq 1 ] || fail "$fixture: exit status $status"
    [[ "$message" == *"$expected"* ]] || fail "$fixture: '$message' does not say '$expected'"
    echo "$fixture: $message"
  done <<EOF
fixture_nostamp|quorv_train.mexw64 is not a plug-in: no version stamp (string 100, language 1033)
fixture_oldstamp|quorv_train.mexw64 is not a plug-in: version stamp string 100 'MATLAB 4.2c' does not match 'MATLAB 5.1 native'
fixture_nomex|quorv_train.mexw64 is not a plug-in: no mexFunction
cut_short|quorv_train.mexw64 is not a plug-in: damaged DLL (section past the end of the file)
text|quorv_train.mexw64 is not a plug-in: not a Windows DLL
elf|quorv_train.mexw64 is not a plug-in: not a Windows DLL
perf_as_train|quorv_train.mexw64 is not a plug-in: its version stamp names 'quorv_perf', not quorv_train
changed|quorv_train.mexw64 is refused: its bytes do not match the digest in quorv_train.mexw64.sha256
EOF
  # A digest path that is a folder, in the Linux loader's words.
  dir=$win/refusals/digest_folder && rm -rf "$dir" && mkdir -p "$dir/quorv_train.mexw64.sha256"
  cp quorv_train.mexw64 "$dir/"
  QUORV_PLUGIN_DIR=$dir run_wine "$dir/out" "$dir/err" quorv.exe demo
  status=$? message=$(cat "$dir/err")
  [ $status -eq 1 ] && [[ "$message" == *"quorv_train.mexw64.sha256: not a regular file"* ]] ||
    fail "digest folder: exit status $status, '$message'"
  # Device names: the device itself is written into, as /dev/null on Linux; a
  # name Windows takes for a device but that holds more is refused before any work.
  work=$win/refusals/devices && rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
  cp "$source_dir/data/iris.csv" .
  while IFS='|' read -r output expected_status expected; do
    run_wine devices.out devices.err "$win/quorv.exe" train iris.csv -o "$output" --verbose 0
    status=$? message=$(cat devices.err)
    [ $status -eq "$expected_status" ] || fail "-o $output: exit status $status, not $expected_status: $message"
    [ "$message" = "$expected" ] || fail "-o $output: '$message', not '$expected'"
    [ "$expected_status" -eq 0 ] || [ ! -s devices.out ] || fail "-o $output: refused only after training"
  done <<EOF
NUL|0|
nul.model|1|quorv: cannot write nul.model: Windows takes this name for the device NUL; choose another name
con .txt|1|quorv: cannot write con .txt: Windows takes this name for the device CON; choose another name
EOF
  ;;
noflops)
  # A host whose libmex.dll has no mexAddFlops, as current hosts: the
  # plug-ins load there and print the same running totals. The demo's data
  # comes from data/ beside each quorv.exe, as in a folder shipped on its own.
  cd "$win" || exit 1
  rm -rf noflops/data && cp -r data noflops/
  cp quorv.exe libmx.dll quorv_train.mexw64 quorv_perf.mexw64 quorv_train.mexw64.sha256 quorv_perf.mexw64.sha256 noflops/
  run_wine with.out with.err quorv.exe demo || fail "demo failed with the flop counter"
  run_wine without.out without.err noflops/quorv.exe demo || fail "demo failed without the flop counter: $(cat without.err)"
  grep -q "$win/data/iris.csv)" with.out || fail "the demo did not read data/ beside quorv.exe: $(head -1 with.out)"
  sed -i "s|/noflops/data/|/data/|" without.out
  sed -i -E 's/, [0-9]+ ms$/, N ms/' with.out without.out
  cmp -s with.out without.out || fail "output differs without the flop counter: $(diff with.out without.out | head -5)"
  ;;
zip)
  # The folder a Windows user unzips (make windows-zip): exactly what runs, and
  # the demo runs in it as the native tool's does, with nothing else on hand.
  cmake --build "$win" --target windows_zip >"$win/zip.log" 2>&1 || { cat "$win/zip.log"; exit 1; }
  zipfile=$(ls "$win"/quorv-*-win64.zip) || exit 1
  name=$(basename "$zipfile" .zip)
  dir=$win/unzipped && rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" || exit 1
  cmake -E tar xf "$zipfile" || fail "cannot unpack $zipfile"
  [ "$(ls)" = "$name" ] || fail "$zipfile holds $(ls | tr '\n' ' ')instead of the one folder $name"
  cd "$name" || exit 1
  # What the loader checks a plug-in against sits beside it, named after it.
  companions=$(cd "$win" && ls quorv_train.mexw64.* quorv_perf.mexw64.* 2>/dev/null)
  expected=$(printf '%s\n' LICENSE.txt README.txt data/README.md data/iris.csv libmex.dll libmx.dll quorv.exe \
    quorv_data.m quorv_demo.m quorv_perf.m quorv_perf.mexw64 quorv_train.m quorv_train.mexw64 $companions | sort)
  found=$(find . -type f | sed 's|^\./||' | sort)
  [ "$found" = "$expected" ] || fail "$zipfile holds other files: $(diff <(echo "$expected") <(echo "$found") | grep '^[<>]' | tr '\n' ' ')"
  for file in quorv.exe libmx.dll libmex.dll quorv_train.mexw64 quorv_perf.mexw64 $companions; do
    cmp -s "$file" "$win/$file" || fail "$file differs from the build's"
  done
  grep -q $'\r$' README.txt || fail "README.txt has no Windows line ends"
  grep -q 'WINEDEBUG=-all' README.txt || fail "README.txt does not say how to silence Wine"
  (unset QUORV_PLUGIN_DIR; run_wine ../demo.out ../demo.err quorv.exe demo) \
    || fail "quorv.exe demo failed in the unpacked folder: $(cat ../demo.err)"
  [ "$(find . -type f | sed 's|^\./||' | sort)" = "$found" ] || fail "the demo left files in the folder"
  "$native" demo --data-dir "$dir/$name/data" >../native.out 2>&1 || fail "the native demo failed"
  sed -i -E '1s/\(.*\)$/(PATH)/; s/, [0-9]+ ms$/, N ms/' ../demo.out ../native.out
  cmp -s ../demo.out ../native.out || fail "the unpacked demo differs from the native one: $(diff ../native.out ../demo.out | head -5)"
  # The help examples find the data through quorv_data.m, beside it here too.
  if command -v octave-cli >/dev/null; then
    data=$(octave-cli --norc --quiet --no-window-system --eval "addpath(pwd); printf('%s\n', quorv_data('iris.csv'))" 2>&1)
    [ "$data" = "$PWD/data/iris.csv" ] || fail "quorv_data in the unpacked folder gives '$data'"
  fi
  # The help names only the data the folder ships.
  run_wine ../help.out ../help.err quorv.exe demo --help || fail "quorv.exe demo --help failed"
  grep -q 'data folder (iris)\.$' ../help.out || fail "demo --help lists other datasets: $(grep -A1 Datasets ../help.out)"
  # README.txt's commands, run as written: those for the Command Prompt through
  # Wine's cmd, the Wine ones through the shell. None may write to standard
  # error, where any line would look like a failure.
  readme_commands=$(sed -n '/^Open a Command Prompt/,/^CSV files/p' README.txt | tr -d '\r' | sed -nE 's/^  (quorv [^ ]+( [^ ]+)*)( {2,}.*)?$/\1/p')
  [ "$(wc -l <<<"$readme_commands")" -ge 4 ] || fail "README.txt names only these commands: $readme_commands"
  while IFS= read -r command; do
    run_wine ../cmd.out ../cmd.err cmd /c "$command" || fail "README.txt's '$command' failed: $(cat ../cmd.err)"
    [ ! -s ../cmd.err ] || fail "'$command' writes to standard error: $(head -3 ../cmd.err)"
  done <<<"$readme_commands"
  # Wine's lines, in a prefix of their own made by them, as a new user's.
  wine_commands=$(tr -d '\r' <README.txt | sed -nE 's/^  (WINEDEBUG=-all wine(boot)? .*)$/\1/p')
  [ "$(wc -l <<<"$wine_commands")" -eq 2 ] || fail "README.txt gives these Wine commands: $wine_commands"
  if command -v wine >/dev/null && command -v wineboot >/dev/null; then
    while IFS= read -r command; do
      (unset WINEDEBUG; export WINEPREFIX=$win/readme/wineprefix; bash -c "$command" >../wine.out 2>../wine.err) \
        || fail "'$command' failed: $(cat ../wine.err)"
      [ ! -s ../wine.err ] || fail "'$command' writes to standard error: $(head -3 ../wine.err)"
    done < <(rm -rf "$win/readme" && mkdir -p "$win/readme"; echo "$wine_commands")
    grep -q '^Accuracy' ../wine.out || fail "README.txt's Wine demo printed no accuracy: $(head -3 ../wine.out)"
  else
    echo "note: the wine and wineboot commands are missing (Debian package wine): README.txt's Wine lines not tried"
  fi
  # One line end for every output: -o - gives the bytes -o FILE writes.
  "$wine" quorv.exe classify iris.model data\\iris.csv -o - >../dash.raw 2>/dev/null || fail "classify -o - failed"
  cmp -s ../dash.raw predictions.csv || fail "-o - and -o FILE differ: $(od -c ../dash.raw | head -2)"
  echo "$name.zip: $(echo "$found" | wc -l) files; quorv.exe demo: $(grep '^Accuracy' ../demo.out)"
  ;;
*)
  echo "unknown check $check" >&2
  exit 2
  ;;
esac
exit $failed
