# Top-level entry points. CMake does the building; each variant has its own build tree.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

BUILD_DIR   := build
ASAN_DIR    := build-asan
TSAN_DIR    := build-tsan
WINDOWS_DIR := build-windows

.PHONY: all deps configure build run test sanitize tsan windows clean

all: build

deps:
	@scripts/deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The server in the console with the settings file beside the program (created with the defaults
# on the first run). Ctrl+C stops it.
run: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target QuorvaneService
	cd $(BUILD_DIR)/src && ./QuorvaneService -d

test: build
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS)

sanitize: deps
	@cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_SANITIZE=address >/dev/null
	@cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest $(CTEST_FLAGS)

tsan: deps
	@cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_SANITIZE=thread >/dev/null
	@cmake --build $(TSAN_DIR) -j $(JOBS)
	cd $(TSAN_DIR) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest $(CTEST_FLAGS)

windows: deps
	@scripts/deps.sh g++-mingw-w64-x86-64-posix dpkg-dev
	@cmake -S . -B $(WINDOWS_DIR) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DTINYXML2_SOURCE_DIR=$$(scripts/fetch-tinyxml2.sh $(WINDOWS_DIR)/third_party) >/dev/null
	@cmake --build $(WINDOWS_DIR) -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(WINDOWS_DIR)
