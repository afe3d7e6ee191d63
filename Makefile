# Thin wrapper around CMake. `make` builds, `make test` installs what is
# missing and runs every suite, `make run` installs what is missing and
# starts the firewall on queue 0.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 20

.PHONY: all build deps test test-unit test-asan test-e2e fuzz run bench clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

deps:
	bash scripts/install-deps.sh

# The sanitizer build and the fuzzers run first; the last thing printed is
# ctest's summary over every unit, script and end-to-end test.
test: deps build
	$(MAKE) test-asan
	$(MAKE) fuzz
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=ON -DVESK_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) -L unit

fuzz:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	bash scripts/run-fuzzers.sh $(FUZZ_BUILD)/fuzz $(FUZZ_SECONDS)

run: deps build
	./$(BUILD)/vesk -q 0 -v

bench: build
	@for b in $(BUILD)/bench/*; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
