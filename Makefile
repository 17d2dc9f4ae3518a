# Top-level entry points. CMake does the building; each variant has its own build tree.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

BUILD_DIR   := build
ASAN_DIR    := build-asan
TSAN_DIR    := build-tsan
WINDOWS_DIR := build-windows
FUZZ_DIR    := build-fuzz
PACKAGE_DIR := build-package
BENCH_DIR   := build-bench
COVERAGE_DIR := build-coverage

.PHONY: all deps configure build run test sanitize tsan windows test-windows soak clean fuzz \
	install package check-package bench attack test-browser coverage

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
	cd $(TSAN_DIR) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	  ctest $(CTEST_FLAGS)

windows: deps
	@scripts/deps.sh g++-mingw-w64-x86-64-posix dpkg-dev
	@cmake -S . -B $(WINDOWS_DIR) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DPUGIXML_SOURCE_DIR=$$(scripts/fetch-pugixml.sh $(WINDOWS_DIR)/third_party) \
	  -DHTTPLIB_SOURCE_DIR=$$(scripts/fetch-debian-source.sh cpp-httplib httplib.h \
	    $(WINDOWS_DIR)/third_party) >/dev/null
	@cmake --build $(WINDOWS_DIR) -j $(JOBS)

# The Windows build under Wine, in a fresh prefix in $(WINDOWS_DIR)/wine: its unit tests, the
# program in the console and stopped with Ctrl+C, and the program as a service
# (scripts/test-windows.sh).
test-windows: windows
	@scripts/deps.sh wine64 curl
	@command -v python3 >/dev/null || scripts/deps.sh python3
	scripts/test-windows.sh $(WINDOWS_DIR)

# The status page in headless Chromium: clients in two channels, the rendered channel tree, a
# nick made of markup shown as text, a screenshot in $(BUILD_DIR)/test-browser/
# (scripts/test-browser.sh).
test-browser: configure
	@scripts/deps.sh chromium curl python3
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target QuorvaneService quorvane-cli
	scripts/test-browser.sh $(BUILD_DIR)

# The server under SOAK_CLIENTS load clients for SOAK_SECONDS, with its memory and CPU sampled;
# fails on any protocol error, lost or reordered line (scripts/soak.sh).
SOAK_SECONDS ?= 600
SOAK_CLIENTS ?= 1000
SOAK_THREADS ?= 2
soak: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target QuorvaneService quorvane-load
	@scripts/soak.sh $(BUILD_DIR) $(SOAK_SECONDS) $(SOAK_CLIENTS) $(SOAK_THREADS)

# The benchmark suite, about 5 minutes: an optimised build in $(BENCH_DIR), then the server and
# the two baselines of bench/ measured in turn on loopback (bench/README.md). BENCH_FLAGS passes
# options to quorvane-bench, such as --only voice,ping or --repeat 5.
BENCH_FLAGS ?=
bench: deps
	@cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF >/dev/null
	@cmake --build $(BENCH_DIR) -j $(JOBS) \
	  --target QuorvaneService quorvane-bench relay-baseline ping-baseline quorvane-load
	$(BENCH_DIR)/bench/quorvane-bench --server $(BENCH_DIR)/src/QuorvaneService \
	  --relay $(BENCH_DIR)/bench/relay-baseline --ping $(BENCH_DIR)/bench/ping-baseline \
	  --load $(BENCH_DIR)/tools/quorvane-load \
	  $(BENCH_FLAGS)

# What one attacking address can do to the server and its other users, measured on loopback with
# every defence at its default, about 4 minutes (tools/attack, README "Measuring the defences").
# ATTACK_SERVER names another build of the server to measure with the same tool and settings;
# ATTACK_FLAGS passes options to quorvane-attack, such as --quick or --flood-seconds 20.
ATTACK_SERVER ?= $(BUILD_DIR)/src/QuorvaneService
ATTACK_FLAGS ?=
attack: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target QuorvaneService quorvane-attack
	$(BUILD_DIR)/tools/quorvane-attack --server $(ATTACK_SERVER) $(ATTACK_FLAGS)

# The test suite in an instrumented build in $(COVERAGE_DIR), then the line coverage of src/ per
# folder and in all; fails below COVERAGE_FLOOR per cent in all (scripts/coverage.sh).
COVERAGE_FLOOR ?= 93
coverage: deps
	@scripts/deps.sh gcovr
	@cmake -S . -B $(COVERAGE_DIR) -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_COVERAGE=ON >/dev/null
	@cmake --build $(COVERAGE_DIR) -j $(JOBS)
	@find $(COVERAGE_DIR) -name '*.gcda' -delete
	cd $(COVERAGE_DIR) && ctest $(CTEST_FLAGS)
	@scripts/coverage.sh $(COVERAGE_DIR) $(COVERAGE_FLOOR)

# libFuzzer targets (clang 19, ASan+UBSan) in $(FUZZ_DIR), each run for FUZZ_SECONDS on a working
# copy of its seed corpus in fuzz/corpus; fails when any target finds a crash (fuzz/run.sh).
# Clang 19 rather than Debian's default 14: with its sanitizers and libFuzzer the parameter and
# line-path targets run a quarter to a half more inputs in the same time.
FUZZ_CLANG := 19
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := ParamsFuzz LinePathFuzz DatagramFuzz SettingsFuzz
# libFuzzer's coverage only in src/, and not in the standard library's out-of-line functions.
FUZZ_COVERAGE_FLAGS := -fsanitize-coverage-allowlist=$(CURDIR)/fuzz/coverage-allow.txt \
  -fsanitize-coverage-ignorelist=$(CURDIR)/fuzz/coverage-ignore.txt
fuzz:
	@scripts/deps.sh cmake make pkg-config libpugixml-dev libcpp-httplib-dev \
	  clang-$(FUZZ_CLANG) libclang-rt-$(FUZZ_CLANG)-dev llvm-$(FUZZ_CLANG)
	@# A tree configured with another compiler starts again: CMake cannot switch one in place.
	@grep -qs '^CMAKE_CXX_COMPILER:.*clang++-$(FUZZ_CLANG)$$' $(FUZZ_DIR)/CMakeCache.txt || \
	  rm -f $(FUZZ_DIR)/CMakeCache.txt
	@cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang-$(FUZZ_CLANG) -DCMAKE_CXX_COMPILER=clang++-$(FUZZ_CLANG) \
	  -DQUORVANE_FUZZ=ON -DCMAKE_CXX_FLAGS="$(FUZZ_COVERAGE_FLAGS)" >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target $(FUZZ_TARGETS)
	@fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The server (in PREFIX/lib/quorvane), the client, the manual pages and the systemd units (which
# keep the settings file and the log in /var/lib/quorvane), installed under PREFIX below DESTDIR:
# make install PREFIX=/usr DESTDIR=/tmp/stage. The units name the server's path under PREFIX.
PREFIX ?= /usr/local
install: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target install_contents
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR)

# The Debian package quorvane-server_VERSION-1_ARCH.deb in $(PACKAGE_DIR), built by CPack from a
# tree of its own in the package's layout (packaging/CMakeLists.txt).
package: deps
	@scripts/deps.sh dpkg-dev file
	@cmake -S . -B $(PACKAGE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_TESTS=OFF \
	  -DQUORVANE_PACKAGE_LAYOUT=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
	@cmake --build $(PACKAGE_DIR) -j $(JOBS) --target install_contents
	@rm -f $(PACKAGE_DIR)/*.deb
	cd $(PACKAGE_DIR) && cpack -G DEB

# Lints the manual pages, then checks the package's contents and scripts, installs it on this
# machine, runs the installed server as its user with a client login, and removes it again
# (scripts/check-package.sh; needs root).
check-package: package
	@scripts/deps.sh groff-base man-db mandoc
	scripts/check-package.sh $(PACKAGE_DIR)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(WINDOWS_DIR) $(FUZZ_DIR) $(PACKAGE_DIR) \
	  $(BENCH_DIR) $(COVERAGE_DIR)
