# Thin wrapper around CMake for the README's commands.
JOBS ?= 2
SCRATCH ?= scratch/demo

.PHONY: all build demo test bench fuzz clean

all: build

build:
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

# Repairs a copy of the damaged example base, then analyses the result once more.
demo: build
	rm -rf $(SCRATCH) && mkdir -p $(SCRATCH)
	cp examples/damaged/* $(SCRATCH)/
	-./build/release/cairnfix -r -x -p -b -s $(SCRATCH)/demo
	./build/release/cairnfix -x $(SCRATCH)/demo

# Every test, in the release build and under AddressSanitizer + UBSan.
test:
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	ctest --preset release
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

clean:
	rm -rf build scratch
