# The two commands that do everything on a fresh machine.
.PHONY: run test bench build-release build-test install package clean format bootstrap fuzz

JOBS ?= $(shell nproc 2>/dev/null || echo 2)

bootstrap:
	@bash scripts/bootstrap

build-release: bootstrap
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

build-test: bootstrap
	cmake --preset test
	cmake --build --preset test -j $(JOBS)

run: build-release
	./build/release/app/torvane

test: build-test
	ctest --preset test -j $(JOBS)

# Measurement programs (release flags); how to run each and what it measured is in docs/performance.md.
bench: bootstrap
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)

# libFuzzer over request framing and routing, under ASan + UBSan. New inputs go to build/fuzz/corpus;
# the seeds (and inputs worth keeping) live in tests/fuzz/corpus.
FUZZ_SECONDS ?= 60
FUZZ_FLAGS = -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
fuzz: bootstrap
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTORVANE_TESTS=OFF -DTORVANE_FUZZ=ON "-DCMAKE_CXX_FLAGS=$(FUZZ_FLAGS)" \
	  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined"
	cmake --build build/fuzz --target phone_fuzz -j $(JOBS)
	mkdir -p build/fuzz/corpus build/fuzz/state
	cd build/fuzz && XDG_STATE_HOME="$$PWD/state" HOME="$$PWD/state" ./tests/fuzz/phone_fuzz \
	  -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=2 -artifact_prefix=./ corpus ../../tests/fuzz/corpus

install: build-release
	cmake --install build/release --prefix $(or $(PREFIX),/usr/local)

# build/release/torvane_<version>_<arch>.deb
package: build-release
	cmake --build --preset release --target package

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build
