# make test: install packages, build, run the suite plain and under ASan+UBSan.
# make run:  build only what the main job runs (worker, client, demo tools), then run it.
# make fuzz: build the libFuzzer harnesses (clang) in build-fuzz and run each for FUZZ_SECONDS.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 600
# Extra libFuzzer options for make fuzz, e.g. FUZZ_ARGS="-jobs=2 -workers=2".
FUZZ_ARGS ?=
FUZZ_HARNESSES = config cache_metadata url model_folder audio_file ipc tokenizers rttm

.PHONY: all deps build build-asan test test-plain test-asan check-layers run bench fuzz clean format

all: build

deps:
	bash scripts/install-deps

build/build.ninja:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: deps build/build.ninja
	cmake --build build -j $(JOBS)

build-asan/build.ninja:
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined \
	  -DPROJECT_BUILD_BENCH=OFF $(CMAKE_FLAGS)

build-asan: deps build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)

check-layers: deps
	python3 scripts/check-layers

test-plain: build
	cd build && ctest --output-on-failure -j $(JOBS) -LE '^fuzz$$'

test-asan: build-asan
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE '^(slow|fuzz)$$'

# check-layers runs first: a layering fault fails before anything is built.
test: check-layers
	$(MAKE) test-plain
	$(MAKE) test-asan

# The main job builds only the targets it runs; the same build folder serves make test later.
run: deps build/build.ninja
	JOBS=$(JOBS) bash scripts/run

bench: build
	@for b in build/bench/*/*_bench; do echo "== $$b"; $$b; done

build-fuzz/build.ninja:
	CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON \
	  $(CMAKE_FLAGS)

# Findings (crash-*, leak-*, timeout-*, oom-*) land in build-fuzz/fuzz/findings/.
fuzz: deps build-fuzz/build.ninja
	cmake --build build-fuzz -j $(JOBS)
	@set -e; for h in $(FUZZ_HARNESSES); do \
	  echo "== $${h}_fuzzer for $(FUZZ_SECONDS) s"; \
	  build-fuzz/fuzz/$${h}_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	    -artifact_prefix=build-fuzz/fuzz/findings/$${h}- $(FUZZ_ARGS) $$(cat build-fuzz/fuzz/$${h}_fuzzer.folders); \
	done

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build build-asan build-fuzz
