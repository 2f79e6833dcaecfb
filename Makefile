# Thin wrapper over CMake: the build lives in build/.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Where `make install` puts the program, the manual page and the codec library;
# DESTDIR, when set, is put in front of it (for staging and packaging).
PREFIX ?= /usr/local
DESTDIR ?=
# The C++ sources that `make check-format` holds to .clang-format.
FORMAT_SOURCES = $(shell find src tests perf -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.cc' -o -name '*.hpp' \) 2>/dev/null | sort)

.PHONY: all configure test test-asan test-tsan test-cross windows test-windows dist-windows fuzz fuzz-build demo install deb check-format peers end-to-end speed-chart clean

all: $(BUILD)/zorv

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

$(BUILD)/zorv: configure
	cmake --build $(BUILD) -j $(JOBS)

test: $(BUILD)/zorv
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole test suite again, product and tests built with AddressSanitizer
# and UndefinedBehaviorSanitizer (any finding aborts the process that made it,
# which fails its test; the program's own runs inherit the options). This build
# takes the codec's portable path, which other hosts run, so that the suite
# covers both: `make test` the x86-64 one, the fuzz targets it under the same
# sanitizers.
ASAN_BUILD ?= build-asan
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORV_SANITIZE=ON -DZORV_PORTABLE_CODEC=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# The whole test suite again under ThreadSanitizer: the workers that code
# blocks side by side, the pool and the one thread that reads and writes.
TSAN_BUILD ?= build-tsan
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

test-tsan:
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORV_SANITIZE_THREAD=ON $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && $(TSAN_ENV) ctest --output-on-failure -j $(JOBS)

# The whole test suite built for another architecture with Debian's cross
# compilers (g++-aarch64-linux-gnu, g++-s390x-linux-gnu) and run under
# qemu-user: arm64 takes the codec's portable path, s390x also loads every
# integer big-endian. `make test-cross ARCH=arm64` or `ARCH=s390x`.
ARCH ?= arm64
CROSS_TRIPLET_arm64 = aarch64-linux-gnu
CROSS_TRIPLET_s390x = s390x-linux-gnu
CROSS_TRIPLET = $(CROSS_TRIPLET_$(ARCH))
CROSS_BUILD ?= build-cross-$(ARCH)

test-cross:
	@[ -n "$(CROSS_TRIPLET)" ] || { echo "test-cross: ARCH is arm64 or s390x, not $(ARCH)"; exit 1; }
	cmake -S . -B $(CROSS_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/cross.cmake \
		-DZORV_CROSS_TRIPLET=$(CROSS_TRIPLET) $(CMAKE_FLAGS)
	cmake --build $(CROSS_BUILD) -j $(JOBS)
	cd $(CROSS_BUILD) && ctest --output-on-failure -j $(JOBS)

# The program for 64-bit Windows, cross-built with mingw-w64 (the posix
# thread variant, linked statically) in build-win/, and its tests run under
# wine through ctest. The wine prefix lives in the build folder; the wine
# server is started first with none of our pipes open, or its helpers would
# hold the tests' pipes and ctest would wait for ever, and stopped at the end.
WIN_BUILD ?= build-win
WIN_ENV = WINEPREFIX=$(abspath $(WIN_BUILD))/wineprefix WINEDEBUG=-all LANG=C.UTF-8
VERSION = $(shell sed -n 's/^project.zorv VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

WINE_START = $(WIN_ENV) wineserver -p </dev/null >/dev/null 2>&1; $(WIN_ENV) wineboot -i </dev/null >/dev/null 2>&1
WINE_STOP = $(WIN_ENV) wineserver -k >/dev/null 2>&1

# The build lists the tests by running the test program, under wine too.
windows:
	cmake -S . -B $(WIN_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw.cmake $(CMAKE_FLAGS)
	mkdir -p $(WIN_BUILD) && $(WINE_START); $(WIN_ENV) cmake --build $(WIN_BUILD) -j $(JOBS); status=$$?; \
	$(WINE_STOP); exit $$status

# Windows has no file size limit: the full-disk tests fill a file system of
# 1 MiB of their own instead, mounted for the run where that is allowed (as
# root) and reached through wine's drive Z:; elsewhere they skip.
SMALL_DISK = $(abspath $(WIN_BUILD))/small-disk
SMALL_DISK_MOUNT = mkdir -p $(SMALL_DISK) && { mountpoint -q $(SMALL_DISK) || \
	mount -t tmpfs -o size=1m tmpfs $(SMALL_DISK); } >/dev/null 2>&1 && echo ZORV_TEST_SMALL_DISK=Z:$(SMALL_DISK)

test-windows: windows
	$(WINE_START); disk=$$($(SMALL_DISK_MOUNT)); cd $(WIN_BUILD) && $(WIN_ENV) env $$disk ctest --output-on-failure -j $(JOBS); \
	status=$$?; $(WINE_STOP); ! mountpoint -q $(SMALL_DISK) || umount $(SMALL_DISK); exit $$status

# zorv.exe with the README, the licence where there is one, and the manual
# as plain text, in build-win/zorv-VERSION-win64.zip.
dist-windows: windows
	rm -rf $(WIN_BUILD)/dist && mkdir -p $(WIN_BUILD)/dist
	cp $(WIN_BUILD)/zorv.exe README.md $(WIN_BUILD)/dist/
	[ ! -f LICENSE ] || cp LICENSE $(WIN_BUILD)/dist/
	groff -man -Tutf8 doc/zorv.1 2>/dev/null | col -b > $(WIN_BUILD)/dist/zorv.txt
	rm -f $(WIN_BUILD)/zorv-$(VERSION)-win64.zip
	cd $(WIN_BUILD)/dist && zip -q -X ../zorv-$(VERSION)-win64.zip *
	@echo "dist-windows: $(WIN_BUILD)/zorv-$(VERSION)-win64.zip"

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

install: $(BUILD)/zorv
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian packages zorv and libzorv-dev, built with the test suite from a
# copy of the tree in $(DEB_BUILD)/src (dpkg-buildpackage writes into the
# folder above the tree): the .deb files land in $(DEB_BUILD)/.
DEB_BUILD ?= build-deb

deb:
	rm -rf $(DEB_BUILD) && mkdir -p $(DEB_BUILD)/src
	tar -c --exclude-vcs --exclude=./build --exclude='./build-*' --exclude='./$(DEB_BUILD)' . | tar -x -C $(DEB_BUILD)/src
	cd $(DEB_BUILD)/src && dpkg-buildpackage -us -uc -b > ../build.log 2>&1 || { tail -n 60 ../build.log; exit 1; }
	@cd $(DEB_BUILD) && ls *.deb && echo "deb: packages in $(DEB_BUILD)/, the build's log in $(DEB_BUILD)/build.log"

check-format:
	clang-format --dry-run --Werror $(FORMAT_SOURCES)
	@echo "check-format: $(words $(FORMAT_SOURCES)) files follow .clang-format"

# The peer benchmark (perf/): ZORV's codec against lz4, zstd, snappy and zlib.
# `make peers PEER_FILES="a b"` measures the given files (a folder stands for
# the concatenation of its files); without them, the concatenated corpus and its
# large files when ../shared/corpus is there, else the repository's sources.
PEER_BUILD ?= build-perf
CORPUS ?= ../shared/corpus
PEER_FILES ?= $(if $(wildcard $(CORPUS)),$(CORPUS) $(sort $(wildcard $(CORPUS)/large/*)),src tests)
PEER_FLAGS ?=

peers:
	@mkdir -p $(PEER_BUILD) && cmake -S perf -B $(PEER_BUILD) -DCMAKE_BUILD_TYPE=Release > $(PEER_BUILD)/configure.log 2>&1 \
		|| { cat $(PEER_BUILD)/configure.log; exit 1; }
	@if [ -f $(PEER_BUILD)/missing-peers.txt ]; then cat $(PEER_BUILD)/missing-peers.txt; else \
		cmake --build $(PEER_BUILD) -j $(JOBS) -- --no-print-directory -s && $(PEER_BUILD)/zorv_peers $(PEER_FLAGS) $(PEER_FILES); fi

# The program end to end: `zorv FILE` and `zorv -u ARCHIVE` on every CPU and
# under `taskset -c 0`, against lz4, zstd, lzop and cp where they are installed,
# on a file of 120 MB in the page cache: the corpus (or, without it, the
# repository's sources) repeated up to 112000000 bytes, then 8 MiB of random
# bytes. E2E_FILE names another file. The run's figures go to E2E_DATA, and
# from there to the chart of speed against archive size (speed-chart).
E2E_FILE ?= $(PEER_BUILD)/e2e-120MB
E2E_SOURCE = $(if $(wildcard $(CORPUS)),$(CORPUS),src tests)
E2E_ROUNDS ?= 5
E2E_DATA ?= $(PEER_BUILD)/end-to-end.dat
SPEED_CHART ?= doc/speed-chart.svg

end-to-end: $(BUILD)/zorv
	@mkdir -p $(PEER_BUILD) && cmake -S perf -B $(PEER_BUILD) -DCMAKE_BUILD_TYPE=Release > $(PEER_BUILD)/configure.log 2>&1 \
		|| { cat $(PEER_BUILD)/configure.log; exit 1; }
	@cmake --build $(PEER_BUILD) -j $(JOBS) --target zorv_end_to_end -- --no-print-directory -s
	@[ -s $(E2E_FILE) ] || { files=$$(find $(E2E_SOURCE) -type f | sort); \
		{ for n in $$(seq 2000); do cat $$files; done 2>/dev/null | head -c 112000000; \
		  head -c 8388608 /dev/urandom; } > $(E2E_FILE); }
	$(PEER_BUILD)/zorv_end_to_end -n $(E2E_ROUNDS) -o $(E2E_DATA) $(BUILD)/zorv $(E2E_FILE)
	@$(MAKE) --no-print-directory speed-chart

# Draws the figures of the last `make end-to-end` run; gnuplot is needed here only.
speed-chart:
	@if [ ! -s $(E2E_DATA) ]; then echo "speed-chart: no figures yet in $(E2E_DATA): run make end-to-end"; exit 1; fi
	@if command -v gnuplot >/dev/null 2>&1; then \
		gnuplot -e "data='$(E2E_DATA)'; svg='$(SPEED_CHART)'" perf/speed-chart.gp && echo "speed-chart: $(SPEED_CHART)"; \
	else echo "speed-chart: skipped, gnuplot is not installed (apt-get install gnuplot-nox)"; fi

clean:
	rm -rf $(BUILD) $(PEER_BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(DEB_BUILD) build-cross-arm64 build-cross-s390x $(WIN_BUILD)
