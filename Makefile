# The project's commands. Each one installs what it needs first.
#   make test    build all builds and run every test
#   make demo    run the real updater on a demo installation under Wine
#   make bench   speed and memory figures
#   make fuzz    run the fuzzers for longer

JOBS ?= $(shell nproc)
# Several work trees may build side by side: BUILD=build-x keeps them apart.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all setup native asan win32 win64 test demo bench fuzz clean

all: native win32 win64

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

# The x86_64 twin of the Windows build: the same sources, never shipped.
# Its tests run under 64-bit Wine, also where no 32-bit code runs (see
# WINDOWS_TESTS in README). Built on every machine, so that it cannot rot.
win64: setup
	cmake -S . -B $(BUILD)/win64 -DCMAKE_BUILD_TYPE=MinSizeRel \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mingw-x86_64.cmake $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/win64 -j $(JOBS)

test: native asan win32 win64
	@bash scripts/run-tests.sh $(BUILD)/native $(BUILD)/asan $(BUILD)/win32 $(BUILD)/win64

# The real updater on a demo installation in a fresh Wine prefix; it needs
# the Windows builds only (updater, patchtool.exe and the box driver): the
# 32-bit one where 32-bit code runs, else the x86_64 twin.
demo: setup win32 win64
	@bash scripts/demo.sh $(BUILD)

# Speed figures of the native build, and of the apply under Wine when a
# Windows build is there (not built for it); scripts/bench.sh holds the sections.
bench: setup native
	@bash scripts/bench.sh $(BUILD)/native

# Longer fuzzing than the few seconds each target gets in `make test`.
FUZZ_SECONDS ?= 300
fuzz: asan
	@bash scripts/fuzz.sh $(BUILD)/asan $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
