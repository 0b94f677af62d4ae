# make test: install packages, build, run the suite plain and under ASan+UBSan.
# make run:  build, then run the main job.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build build-asan test test-plain test-asan run bench clean format

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

test-plain: build
	cd build && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE slow

test: test-plain test-asan

run: build
	bash scripts/run

bench: build
	@for b in build/bench/*/*_bench; do echo "== $$b"; $$b; done

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build build-asan
