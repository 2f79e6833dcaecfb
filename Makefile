# Thin wrapper over CMake: the build lives in build/.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all configure test demo clean

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

clean:
	rm -rf $(BUILD)
