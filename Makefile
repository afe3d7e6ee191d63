# Thin wrapper around CMake. `make` builds, `make test` installs what is
# missing and runs every suite, `make run` installs what the firewall needs
# when it is missing, builds the firewall alone and starts it on queue 0.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 20

.PHONY: all build configure deps deps-runtime test test-unit test-asan test-tsan test-e2e fuzz run bench clean

all: build

# Configuring again is cheap and changes no compile flags, so it rebuilds
# nothing; it picks up the test libraries once `make deps` installed them.
configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Everything the build, the tests and the benchmarks need.
deps:
	bash scripts/install-deps.sh

# What building and running the firewall needs, nothing for the tests.
deps-runtime:
	bash scripts/install-deps.sh --runtime

# The sanitizer build and the fuzzers run first; then ctest's summary over
# every unit, script and end-to-end test, followed by the list of the tests
# that were skipped and why. The status is ctest's.
test: deps build
	$(MAKE) test-asan
	$(MAKE) fuzz
	/usr/bin/python3 scripts/ctest-with-skips.py $(BUILD) --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=ON -DVESK_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) -L unit

# Not part of `make test` (a whole build more): vesk under ThreadSanitizer,
# started and stopped many times under traffic.
test-tsan:
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVESK_TSAN=ON -DVESK_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target vesk
	VESK_STOP_VESK=$(TSAN_BUILD)/vesk VESK_BUILD=$(BUILD) VESK_SOURCE=. bash tests/e2e/stop_under_traffic_test.sh

fuzz:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	bash scripts/run-fuzzers.sh $(FUZZ_BUILD)/fuzz $(FUZZ_SECONDS)

run: deps-runtime configure
	cmake --build $(BUILD) -j $(JOBS) --target vesk
	./$(BUILD)/vesk -q 0 -v

bench: build
	@for b in $(BUILD)/bench/*; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
