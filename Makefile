# Top-level entry points. CMake does the building; each variant has its own build tree.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

BUILD_DIR   := build
ASAN_DIR    := build-asan
TSAN_DIR    := build-tsan
WINDOWS_DIR := build-windows
FUZZ_DIR    := build-fuzz

.PHONY: all deps configure build run test sanitize tsan windows soak clean fuzz

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

# The server under SOAK_CLIENTS load clients for SOAK_SECONDS, with its memory and CPU sampled;
# fails on any protocol error, lost or reordered line (scripts/soak.sh).
SOAK_SECONDS ?= 600
SOAK_CLIENTS ?= 1000
SOAK_THREADS ?= 2
soak: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target QuorvaneService quorvane-load
	@scripts/soak.sh $(BUILD_DIR) $(SOAK_SECONDS) $(SOAK_CLIENTS) $(SOAK_THREADS)

# libFuzzer targets (clang, ASan+UBSan) in $(FUZZ_DIR), each run for FUZZ_SECONDS on a working
# copy of its seed corpus in fuzz/corpus; fails when any target finds a crash (fuzz/run.sh).
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := ParamsFuzz LinePathFuzz DatagramFuzz SettingsFuzz
fuzz:
	@scripts/deps.sh cmake make pkg-config libtinyxml2-dev clang libclang-rt-14-dev llvm-14
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUORVANE_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target $(FUZZ_TARGETS)
	@fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(WINDOWS_DIR) $(FUZZ_DIR)
