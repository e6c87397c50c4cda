# Wraps CMake so that a fresh checkout needs one command for each job.
BUILD ?= build
SANITIZE_BUILD ?= $(BUILD)-asan
FUZZ_BUILD ?= $(BUILD)-fuzz
WINDOWS_BUILD ?= $(BUILD)-windows
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60

# A sanitizer report anywhere, in test programs and in the programs they
# start alike, aborts that program, so that no expected exit status can hide
# it; AddressSanitizer's also land in a file of their own, and any such file
# fails the stage. (Undefined-behaviour reports go to the program's stderr.)
REPORTS = $(abspath $(SANITIZE_BUILD))/sanitizer-reports
SANITIZE_ENV = \
  ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:abort_on_error=1:log_path=$(REPORTS)/asan \
  UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$(REPORTS)/ubsan
FUZZ_FLAGS = -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer

.PHONY: all build demo install test test-build test-sanitize test-fuzz test-thread octave-pkg windows windows-zip clean

all: build

# ./setup.sh installs (or names) the Debian packages a target needs; it is quick
# when they are all there. SETUP=: skips it.
SETUP ?= ./setup.sh
export SETUP_LOG ?= $(abspath $(BUILD))/setup.log

build:
	@$(SETUP) build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# Long builds keep their output in a log and print one line per finished
# target (cmake/steps.sh); a failing build's output is shown in full.
STEPS = cmake/steps.sh

# The demo builds the tool and the plug-ins alone, its build output kept in
# $(BUILD)/demo-build.log.
demo:
	@$(SETUP) build
	@echo "Building quorv and its plug-ins in $(BUILD)/ (log: $(BUILD)/demo-build.log) ..."
	@$(STEPS) $(BUILD)/demo-build.log -- sh -c 'cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo && \
	  cmake --build $(BUILD) --target quorv -j $(JOBS)'
	@$(BUILD)/quorv demo

# bin/quorv, lib/libquorv_minihost.so, lib/quorv/ (the plug-ins and their
# digests) and share/quorv/data under PREFIX: the tool then runs from any
# folder. The build is configured for PREFIX, so that the installed tool finds
# its library there even without /proc.
PREFIX ?= /usr/local
install:
	@$(SETUP) build
	@echo "Building quorv for $(PREFIX) in $(BUILD)/ (log: $(BUILD)/install-build.log) ..."
	@$(STEPS) $(BUILD)/install-build.log -- sh -c 'cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  "-DCMAKE_INSTALL_PREFIX=$(PREFIX)" && cmake --build $(BUILD) --target quorv -j $(JOBS)'
	@echo "Installing into $(PREFIX) ..."
	@cmake --install $(BUILD) --prefix "$(PREFIX)" >$(BUILD)/install.log 2>&1 || { cat $(BUILD)/install.log; exit 1; }
	@echo "Installed: $(PREFIX)/bin/quorv (try: $(PREFIX)/bin/quorv demo)"

# quorv-VERSION.tar.gz for Octave's pkg install, in $(BUILD)/. Packing compiles
# nothing, so it is configured on its own, without the tests and GoogleTest.
octave-pkg:
	@$(SETUP) pack
	cmake -S . -B $(BUILD)/octave-pkg-config -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORV_TESTS=OFF \
	  -DQUORV_PYTHON=OFF -DQUORV_PKG_DIR=$(abspath $(BUILD))
	cmake --build $(BUILD)/octave-pkg-config --target octave_pkg

# The plug-ins, libmx.dll, libmex.dll and quorv.exe for 64-bit Windows, cross-built
# with MinGW-w64 into $(WINDOWS_BUILD)/ (run there: wine quorv.exe demo).
windows:
	@$(SETUP) windows
	@echo "Cross-building for Windows in $(WINDOWS_BUILD)/ (log: $(WINDOWS_BUILD)/windows-build.log) ..."
	@$(STEPS) $(WINDOWS_BUILD)/windows-build.log -- sh -c 'cmake -S . -B $(WINDOWS_BUILD) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORV_TESTS=OFF && \
	  cmake --build $(WINDOWS_BUILD) -j $(JOBS)'

# $(WINDOWS_BUILD)/quorv-VERSION-win64.zip: the folder to copy to a Windows
# machine, holding what runs there and nothing of the build.
windows-zip: windows
	@$(STEPS) $(WINDOWS_BUILD)/windows-zip.log -- cmake --build $(WINDOWS_BUILD) --target windows_zip
	@grep '^-- Windows folder' $(WINDOWS_BUILD)/windows-zip.log

# Four stages, each stopping `make test` when it fails. Each prints a few
# lines and keeps its whole output in a log named on its first line; a new
# stage is one more target of the same shape, and one more line here.
STAGE = tests/stage.sh
test:
	@$(SETUP) test
	@$(MAKE) --no-print-directory test-build
	@$(MAKE) --no-print-directory test-sanitize
	@$(MAKE) --no-print-directory test-fuzz
	@$(MAKE) --no-print-directory test-thread
	@echo "==== make test: all stages passed"

test-build: LOG = $(BUILD)/test-build.log
test-build:
	@$(STAGE) start $(LOG) "make test-build: the build and the whole test suite in $(BUILD)/"
	@$(STAGE) step $(LOG) "configure and build" -- $(MAKE) --no-print-directory build
	@$(STAGE) ctest $(LOG) -- ctest --test-dir $(BUILD) -j $(JOBS)

test-sanitize: LOG = $(SANITIZE_BUILD)/test-sanitize.log
test-sanitize:
	@$(STAGE) start $(LOG) "make test-sanitize: the suite under AddressSanitizer and UndefinedBehaviorSanitizer in $(SANITIZE_BUILD)/"
	@$(STAGE) step $(LOG) "configure and build" -- sh -c 'cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORV_SANITIZE=ON && cmake --build $(SANITIZE_BUILD) -j $(JOBS)'
	@rm -rf $(REPORTS) && mkdir -p $(REPORTS)
	@$(STAGE) ctest $(LOG) -- env $(SANITIZE_ENV) ctest --test-dir $(SANITIZE_BUILD) -j $(JOBS); status=$$?; \
	if [ -n "$$(ls -A $(REPORTS))" ]; then \
	  cat $(REPORTS)/*; echo "==== FAILED: sanitizer reports in $(REPORTS)"; exit 1; \
	fi; exit $$status

test-fuzz: LOG = $(FUZZ_BUILD)/test-fuzz.log
test-fuzz:
	@$(STAGE) start $(LOG) "make test-fuzz: both plug-ins under libFuzzer for $(FUZZ_SECONDS) seconds in $(FUZZ_BUILD)/"
	@$(STAGE) step $(LOG) "configure and build" -- sh -c 'cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DQUORV_TESTS=OFF -DQUORV_FUZZ=ON "-DCMAKE_CXX_FLAGS=$(FUZZ_FLAGS)" \
	  && cmake --build $(FUZZ_BUILD) --target quorv_fuzz -j $(JOBS)'
	@rm -rf $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/crashes && mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/crashes
	@$(STAGE) fuzz $(LOG) -- $(FUZZ_BUILD)/quorv_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 -print_final_stats=1 \
	  -artifact_prefix=$(FUZZ_BUILD)/crashes/ $(FUZZ_BUILD)/corpus fuzz/corpus \
	  || { echo "==== FAILED: the fuzzer found an input that breaks a plug-in, saved in $(FUZZ_BUILD)/crashes"; exit 1; }

# The search's tests under ThreadSanitizer with three threads, in a build of
# their own (it cannot share the AddressSanitizer's); any report fails a test.
test-thread: LOG = $(BUILD)-tsan/test-thread.log
test-thread:
	@$(STAGE) start $(LOG) "make test-thread: the search's tests under ThreadSanitizer, 3 threads, in $(BUILD)-tsan/"
	@$(STAGE) step $(LOG) "configure and build" -- sh -c 'cmake -S . -B $(BUILD)-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUORV_SANITIZE_THREAD=ON && cmake --build $(BUILD)-tsan --target search_diff_test search_twins_test search_adversarial_test threads_test prepared_test forest_call_test -j $(JOBS)'
	@$(STAGE) ctest $(LOG) -- env QUORV_THREADS=3 TSAN_OPTIONS=halt_on_error=1:abort_on_error=1 ctest --test-dir $(BUILD)-tsan \
	  -R '^(Paths/(SearchKernels|AdversarialBatches)|SearchTwins|SearchCounts|NodeList|AdversarialCalls|Threads|PreparedModel|ForestCall)\.' -j $(JOBS)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) $(WINDOWS_BUILD)
