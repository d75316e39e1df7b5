# The project's commands. Each one installs what it needs first.
#   make test    build all builds and run every test
#   make demo    run the real updater on a demo installation under Wine
#   make bench   speed and memory figures
#   make fuzz    run the fuzzers for longer

JOBS ?= $(shell nproc)
# Several work trees may build side by side: BUILD=build-x keeps them apart.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all setup native asan win32 test demo bench fuzz clean

all: native win32

setup:
	@bash scripts/setup-deps.sh

native: setup
	cmake -S . -B $(BUILD)/native -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/native -j $(JOBS)

# Clang with AddressSanitizer and UndefinedBehaviorSanitizer.
asan: setup
	cmake -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DUPD_SANITIZE=ON \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/asan -j $(JOBS)

win32: setup
	cmake -S . -B $(BUILD)/win32 -DCMAKE_BUILD_TYPE=MinSizeRel \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mingw-i686.cmake $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/win32 -j $(JOBS)

test: native asan win32
	@bash scripts/run-tests.sh $(BUILD)/native $(BUILD)/asan $(BUILD)/win32

# The real updater on a demo installation in a fresh Wine prefix; it needs
# the Windows build only (updater, patchtool.exe and the box driver).
demo: setup win32
	@bash scripts/demo.sh $(BUILD)

# Speed figures of the native build; scripts/bench.sh holds the sections.
bench: setup native
	@bash scripts/bench.sh $(BUILD)/native

# Longer fuzzing than the few seconds each target gets in `make test`.
FUZZ_SECONDS ?= 300
fuzz: asan
	@bash scripts/fuzz.sh $(BUILD)/asan $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
