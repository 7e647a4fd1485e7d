# Thin wrapper around CMake. Every target first installs what the build needs (as root).
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-libfuzzer
PACKAGE_BUILD ?= build-pkg
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = uuid_parse midi registry metadata maps
JOBS ?= $(shell nproc)

.PHONY: all deps build demo test bench sanitize fuzz package docs abi-baseline format clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	cmake --build $(BUILD) -j $(JOBS)

# The demo builds only what it runs: the library, the stand-in and the link probe.
demo: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	cmake --build $(BUILD) -j $(JOBS) --target tamb-demo
	$(BUILD)/tools/tamb-demo

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
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMB_SANITIZE=ON \
	  -DTAMB_BUILD_BENCH=OFF > /dev/null
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)

# Coverage-guided fuzzing with clang's libFuzzer (needs clang; not part of CI, which replays the
# corpus through the plain driver in `make sanitize`). New inputs go to $(FUZZ_BUILD)/work, never
# into the committed corpus; failing inputs land in $(FUZZ_BUILD)/crashes.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAMB_SANITIZE=ON -DTAMB_LIBFUZZER=ON -DTAMB_BUILD_TESTS=OFF -DTAMB_BUILD_BENCH=OFF \
	  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
	  -DCMAKE_EXE_LINKER_FLAGS=-latomic -DCMAKE_SHARED_LINKER_FLAGS=-latomic \
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
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
	  > /dev/null
	cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target tamb-debs

# The API reference in $(BUILD)/docs/html, from the header comments; fails on any public name
# left undocumented.
docs: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	cmake --build $(BUILD) --target docs

format:
	git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD)
