# Thin wrapper around CMake for the README's commands.
JOBS ?= 2
SCRATCH ?= scratch/demo

.PHONY: all build demo check test test-asan lint package windows test-windows package-windows bench fuzz clean

all: build

# The tool alone; the tests, the benchmark and the fuzz targets are built where they run.
build:
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target cairnfix

# Repairs a copy of the damaged example base, then analyses the result once more.
# Exit status 2 only says that issues were reported; 1 (a fatal error) stops make.
demo: build
	rm -rf $(SCRATCH) && mkdir -p $(SCRATCH)
	cp examples/damaged/* $(SCRATCH)/
	./build/release/cairnfix -r -x -p -b -s $(SCRATCH)/demo || [ $$? -eq 2 ]
	./build/release/cairnfix -x $(SCRATCH)/demo || [ $$? -eq 2 ]

# The release build and its test suite: the quick check before a commit. A build without
# GoogleTest has no tests, and ctest then fails rather than pass on nothing.
check:
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	ctest --preset release --no-tests=error

# The lint, then every test: in the release build, under AddressSanitizer + UBSan and, where
# the cross compiler and Wine are installed, as cairnfix.exe under Wine.
test: lint check test-asan
	@if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then \
	  $(MAKE) test-windows; \
	else \
	  echo "Windows suite skipped: the MinGW-w64 cross compiler or Wine is not installed"; \
	fi

test-asan:
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan --no-tests=error

# Formatting against .clang-format and the checks of .clang-tidy (over src/), where both
# tools are installed; CI installs them. Its own build directory holds only the compile
# commands, so it can run beside a build.
lint:
	cmake --preset lint
	@if command -v clang-format >/dev/null && command -v clang-tidy >/dev/null; then \
	  clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h') && \
	  git ls-files 'src/*.cpp' | xargs -P $(JOBS) -n 4 clang-tidy -p build/lint --quiet \
	    --extra-arg=-Wno-unknown-warning-option --extra-arg=-Wno-ignored-optimization-argument; \
	else \
	  echo "Lint skipped: clang-format or clang-tidy is not installed"; \
	fi

# The package (a .deb on Linux), written to build/package. It is built as a packager
# builds: warnings are not errors there, and no tests are built.
package:
	cmake --preset package
	cmake --build --preset package -j $(JOBS) --target package

# cairnfix.exe and its tests, cross-built with MinGW-w64 (build/windows); the tests run
# under Wine.
windows:
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)

test-windows: windows
	ctest --preset windows

# The zip of cairnfix.exe, README.txt, the manual as text and the licence, written to
# build/package-windows.
package-windows:
	cmake --preset package-windows
	cmake --build --preset package-windows -j $(JOBS) --target package

# Times the release tool on generated bases (kept in build/bench-data): by default analysis,
# repair, verbose output and stale CRCs, each the median of 9 runs against `cat` of the base.
# BENCH_ARGS picks the modes and runs, e.g. make bench BENCH_ARGS="--runs 5 --repair --scale".
bench:
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target cairnfix make_bench_base
	bench/run_bench.sh $(BENCH_ARGS)

clean:
	rm -rf build scratch

# A 60-second libFuzzer session (clang); new inputs go to build/fuzz/corpus.
fuzz:
	cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCAIRNFIX_FUZZ=ON -DCAIRNFIX_BUILD_TESTS=OFF \
	  -DCAIRNFIX_WERROR=ON
	cmake --build build/fuzz -j $(JOBS) --target cairnfix_fuzz
	mkdir -p build/fuzz/corpus
	./build/fuzz/fuzz/cairnfix_fuzz -max_total_time=60 -max_len=16384 -close_fd_mask=3 -dict=fuzz/jam.dict \
	  build/fuzz/corpus fuzz/corpus fuzz/regressions
