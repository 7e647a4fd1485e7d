# SPDX-License-Identifier: MIT
# Thin wrapper around CMake. Every target first installs what the build needs (as root).
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
CLANG_BUILD ?= build-clang
TSAN_BUILD ?= build-tsan
RTSAN_BUILD ?= build-rtsan
FUZZ_BUILD ?= build-libfuzzer
PACKAGE_BUILD ?= build-pkg
TIDY_BUILD ?= build-tidy
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = uuid_parse midi registry metadata maps
JOBS ?= $(shell nproc)
# The second compiler, and the one whose sanitizers check threads and real-time code.
CLANG_CC ?= clang-22
CLANG_CXX ?= clang++-22
# Warnings fail every build; WERROR=OFF builds anyway (a newer compiler may warn anew).
WERROR ?= ON
CONFIGURE = cmake -S . -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMB_WERROR=$(WERROR)
CONFIGURE_CLANG = $(CONFIGURE) -DCMAKE_C_COMPILER=$(CLANG_CC) -DCMAKE_CXX_COMPILER=$(CLANG_CXX)
CLANG_TIDY ?= run-clang-tidy-22
CLANG_FORMAT ?= clang-format-22
# What make tidy reads; tests, bench and fuzz can be added on the command line.
TIDY_DIRS ?= libtamb hooks testkit tools demo linkprobe
# Paths (sources or headers) that make tidy and make format-check leave out, e.g. files that
# someone is rewriting: make tidy CHECK_SKIP="libtamb/shm.cpp hooks/hooks.h".
CHECK_SKIP ?=
empty :=
space := $(empty) $(empty)
# The paths as one alternation of regular expressions, dots escaped.
check_skip_re = $(subst $(space),|,$(subst .,\.,$(strip $(CHECK_SKIP))))

.PHONY: all deps build demo test bench sanitize clang tsan rtsan fuzz package docs abi-baseline \
  format format-check tidy clean

all: build

deps:
	@scripts/install-deps

build: deps
	$(CONFIGURE) -B $(BUILD) > /dev/null
	cmake --build $(BUILD) -j $(JOBS)

# The demo builds only what it runs: the library, the stand-in and the link probe.
demo: deps
	$(CONFIGURE) -B $(BUILD) > /dev/null
	cmake --build $(BUILD) -j $(JOBS) --target tamb-demo
	$(BUILD)/demo/tamb-demo

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Rewrites the ABI baselines in abi/ from this build (see "Changing the ABI on purpose").
abi-baseline: build
	cmake --build $(BUILD) --target abi-baseline

# Keeps the previous run's report beside the new one and compares their ratios.
bench: build
	@if [ -f $(BUILD)/bench/report.json ]; then \
	  cp $(BUILD)/bench/report.json $(BUILD)/bench/report.previous.json; fi
	$(BUILD)/bench/tamb-bench --tamb_report_dir=$(BUILD)/bench
	@if [ -f $(BUILD)/bench/report.previous.json ]; then \
	  scripts/bench-compare $(BUILD)/bench/report.previous.json $(BUILD)/bench/report.json || true; fi

sanitize: deps
	$(CONFIGURE) -B $(SANITIZE_BUILD) -DTAMB_SANITIZE=ON -DTAMB_BUILD_BENCH=OFF > /dev/null
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)

# Everything built by clang as well, its warnings included, and every test run.
clang: deps
	$(CONFIGURE_CLANG) -B $(CLANG_BUILD) > /dev/null
	cmake --build $(CLANG_BUILD) -j $(JOBS)
	ctest --test-dir $(CLANG_BUILD) --output-on-failure -j $(JOBS)

# The suites that start threads (CTest label threads) under clang's ThreadSanitizer (GCC 12's
# does not support the guarded copies' fences and warns of each); tests/tsan.supp leaves out
# Berkeley DB's own reports.
tsan: deps
	$(CONFIGURE_CLANG) -B $(TSAN_BUILD) -DTAMB_TSAN=ON -DTAMB_BUILD_BENCH=OFF \
	  -DTAMB_BUILD_FUZZ=OFF > /dev/null
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target tamb-threads-tests
	ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L threads

# The tests labelled realtime under RealtimeSanitizer, which stops a program whose
# TAMB_NONBLOCKING code allocates, locks or blocks; tests/rtsan.supp lists what it may.
rtsan: deps
	$(CONFIGURE_CLANG) -B $(RTSAN_BUILD) -DTAMB_RTSAN=ON -DTAMB_BUILD_BENCH=OFF \
	  -DTAMB_BUILD_FUZZ=OFF > /dev/null
	cmake --build $(RTSAN_BUILD) -j $(JOBS) --target tamb-realtime-tests
	ctest --test-dir $(RTSAN_BUILD) --output-on-failure -j $(JOBS) -L realtime

# Coverage-guided fuzzing with clang's libFuzzer (needs clang; not part of CI, which replays the
# corpus through the plain driver in `make sanitize`). New inputs go to $(FUZZ_BUILD)/work, never
# into the committed corpus; failing inputs land in $(FUZZ_BUILD)/crashes.
fuzz: deps
	$(CONFIGURE_CLANG) -B $(FUZZ_BUILD) -DTAMB_SANITIZE=ON -DTAMB_LIBFUZZER=ON \
	  -DTAMB_BUILD_TESTS=OFF -DTAMB_BUILD_BENCH=OFF \
	  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
	  > /dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	mkdir -p $(FUZZ_BUILD)/crashes
	for name in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/work/$$name && \
	  $(FUZZ_BUILD)/fuzz/fuzz_$$name -max_total_time=$(FUZZ_SECONDS) \
	    -artifact_prefix=$(FUZZ_BUILD)/crashes/$$name- $(FUZZ_BUILD)/work/$$name \
	    fuzz/corpus/$$name $$(ls -d fuzz/regressions/$$name 2>/dev/null) || exit 1; \
	done

# Debian packages libtamb0, libtamb-dev and tamb-tools, written to $(PACKAGE_BUILD). Configured
# for /usr so that the libraries land in the multiarch directory.
package: deps
	$(CONFIGURE) -B $(PACKAGE_BUILD) -DCMAKE_INSTALL_PREFIX=/usr > /dev/null
	cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target tamb-debs

# The API reference in $(BUILD)/docs/html, from the header comments; fails on any public name
# left undocumented.
docs: deps
	$(CONFIGURE) -B $(BUILD) > /dev/null
	cmake --build $(BUILD) --target docs

# clang-tidy with the checks of .clang-tidy, every finding an error, over the sources of
# TIDY_DIRS and the project headers they include, from a clang build's compile commands (only
# configured, nothing is built).
tidy: deps
	$(CONFIGURE_CLANG) -B $(TIDY_BUILD) > /dev/null
	@files=$$(git ls-files $(foreach d,$(TIDY_DIRS),'$(d)/*.c' '$(d)/*.cpp') \
	  | grep -vxF -e '' $(addprefix -e ,$(CHECK_SKIP)) | sed 's/[.]/\\./g' | paste -sd '|'); \
	$(CLANG_TIDY) -p $(TIDY_BUILD) -j $(JOBS) -quiet -hide-progress \
	  $(if $(strip $(CHECK_SKIP)),-exclude-header-filter='/($(check_skip_re))$$') "/($$files)$$"

format:
	git ls-files '*.c' '*.cpp' '*.h' | xargs $(CLANG_FORMAT) -i

# Fails on any tracked source that make format would change.
# Also fails on a tracked source or build file without its licence line.
format-check:
	git ls-files '*.c' '*.cpp' '*.h' | grep -vxF -e '' $(addprefix -e ,$(CHECK_SKIP)) \
	  | xargs -r $(CLANG_FORMAT) --dry-run --Werror
	@unlicensed=$$(git ls-files '*.c' '*.cpp' '*.h' '*.sh' '*.cmake' '*.in' '*.map' '*.supp' \
	  'CMakeLists.txt' Makefile 'scripts/*' .ci/run 'man/*' | xargs grep -L 'SPDX-License-Identifier: MIT'); \
	if [ -n "$$unlicensed" ]; then echo "no SPDX-License-Identifier line in:" $$unlicensed; exit 1; fi

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(CLANG_BUILD) $(TSAN_BUILD) $(RTSAN_BUILD) $(FUZZ_BUILD) \
	  $(TIDY_BUILD)
