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

.PHONY: all configure test demo install check-format clean

all: $(BUILD)/zorv

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

$(BUILD)/zorv: configure
	cmake --build $(BUILD) -j $(JOBS)

test: $(BUILD)/zorv
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Packs a file of the repository, restores it in another folder and compares the bytes.
demo: $(BUILD)/zorv
	rm -rf $(BUILD)/demo && mkdir -p $(BUILD)/demo/restored
	$(BUILD)/zorv README.md $(BUILD)/demo/README.zorv
	cd $(BUILD)/demo/restored && ../../zorv -u ../README.zorv
	cmp README.md $(BUILD)/demo/restored/README.md && echo "demo: README.md restored byte for byte"

install: $(BUILD)/zorv
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

check-format:
	clang-format --dry-run --Werror $(FORMAT_SOURCES)
	@echo "check-format: $(words $(FORMAT_SOURCES)) files follow .clang-format"

clean:
	rm -rf $(BUILD)
