# make run    install what is needed, build, and open the sample document
# make test   install what is needed, build, and run every test
# make asan   the tests again under AddressSanitizer + UndefinedBehaviorSanitizer
# make bench  build and run the benchmarks
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

export ASAN_OPTIONS  ?= halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS ?= halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS  ?= suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0

.PHONY: all bootstrap build run test asan bench clean

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run-sample $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

asan: bootstrap
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLUMO_SANITIZE=ON \
	  -DVELLUMO_BENCH=OFF $(CMAKE_ARGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench: build
	@scripts/run-bench $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
