# Front door: `make test` sets everything up and passes the tests; `make build` only builds.
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 20
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build test test-plain test-asan fuzz bench format clean demo

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

$(ASAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVANTLO_SANITIZE=ON -DVANTLO_BENCH=OFF

test-asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) --timeout 600

# The fuzz targets: every tests/fuzz/*.cc is a libFuzzer program, built with clang in a
# configuration of its own and run for FUZZ_SECONDS each; a finding fails the run.
$(FUZZ_BUILD)/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S tests/fuzz -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Debug

fuzz: deps $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@for src in tests/fuzz/*.cc; do \
	  name=$$(basename $$src .cc); corpus=$(FUZZ_BUILD)/corpus/$$name; log=$(FUZZ_BUILD)/$$name.log; \
	  mkdir -p $$corpus; echo "fuzz: $$name for $(FUZZ_SECONDS) s"; \
	  if ! $(FUZZ_BUILD)/bin/$$name -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	       -print_final_stats=1 $$corpus >$$log 2>&1; then \
	    tail -n 60 $$log; echo "fuzz: $$name FAILED (the whole log: $$log)"; exit 1; \
	  fi; \
	  grep -h 'stat::number_of_executed_units' $$log | sed "s/^/fuzz: $$name: /"; \
	done

# The sanitizer run comes last so the output ends with its ctest summary.
test: test-plain fuzz test-asan

bench: build
	$(BUILD)/bin/vantlo-bench-store
	$(BUILD)/bin/vantlo-bench-status
	$(BUILD)/bin/vantlo-bench-queue

# The main job on a fresh device: installs, builds, runs vantlo with its agent and a client.
demo:
	@BUILD=$(BUILD) JOBS=$(JOBS) scripts/demo

format:
	find platform store upload ui app services tools tests bench \( -name '*.cc' -o -name '*.h' \) 2>/dev/null | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
