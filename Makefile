# Thin wrapper over CMake: the build lives in build/.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all configure test test-asan fuzz fuzz-build demo clean

all: $(BUILD)/zorv

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

$(BUILD)/zorv: configure
	cmake --build $(BUILD) -j $(JOBS)

test: $(BUILD)/zorv
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole test suite again, product and tests built with AddressSanitizer
# and UndefinedBehaviorSanitizer (any finding aborts the process that made it,
# which fails its test; the program's own runs inherit the options).
ASAN_BUILD ?= build-asan
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORV_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# libFuzzer targets (tests/fuzz, built with clang in build-fuzz/), each run for
# FUZZ_SECONDS. They are independent: `make -j3 fuzz` runs them side by side.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := fuzz_decompress fuzz_roundtrip fuzz_reader
FUZZ_RUNS := $(FUZZ_TARGETS:%=fuzz-run-%)
.PHONY: $(FUZZ_RUNS)

fuzz-build:
	cmake -S tests/fuzz -B $(FUZZ_BUILD)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	rm -rf $(FUZZ_BUILD)/seeds && $(FUZZ_BUILD)/make_seeds $(FUZZ_BUILD)/seeds

fuzz: $(FUZZ_RUNS)

$(FUZZ_RUNS): fuzz-run-%: fuzz-build
	tests/fuzz/run.sh $(FUZZ_BUILD) $* $(FUZZ_SECONDS)

# Packs a file of the repository, restores it in another folder and compares the bytes.
demo: $(BUILD)/zorv
	rm -rf $(BUILD)/demo && mkdir -p $(BUILD)/demo/restored
	$(BUILD)/zorv README.md $(BUILD)/demo/README.zorv
	cd $(BUILD)/demo/restored && ../../zorv -u ../README.zorv
	cmp README.md $(BUILD)/demo/restored/README.md && echo "demo: README.md restored byte for byte"

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
