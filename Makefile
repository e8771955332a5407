# The two commands that do everything on a fresh machine: make run, make test.
# make run installs what building and running need; make test, bench and fuzz add the test stack;
# make install and make package install no packages at all and name the missing ones instead.
.PHONY: run test bench build-release build-test install uninstall package clean format format-check \
	bootstrap bootstrap-test check-deps fuzz

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Prerequisites in order even under make -j: the packages are in before anything is configured.
.NOTPARALLEL:
PREFIX ?= /usr/local
# What the last make install put where; a later make package rewrites CMake's own install manifest.
INSTALLED = build/release/installed-files.txt

bootstrap:
	@bash scripts/bootstrap

bootstrap-test:
	@bash scripts/bootstrap --test

check-deps:
	@bash scripts/bootstrap --check

build-release:
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

build-test: bootstrap-test
	cmake --preset test
	cmake --build --preset test -j $(JOBS)

run: bootstrap build-release
	./build/release/app/torvane

test: build-test
	ctest --preset test -j $(JOBS)

# Measurement programs (release flags); how to run each and what it measured is in docs/performance.md.
bench: bootstrap-test
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)

# libFuzzer over request framing and routing, under ASan + UBSan. New inputs go to build/fuzz/corpus;
# the seeds (and inputs worth keeping) live in tests/fuzz/corpus.
FUZZ_SECONDS ?= 60
FUZZ_FLAGS = -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
fuzz: bootstrap-test
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTORVANE_TESTS=OFF -DTORVANE_FUZZ=ON "-DCMAKE_CXX_FLAGS=$(FUZZ_FLAGS)" \
	  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined"
	cmake --build build/fuzz --target phone_fuzz -j $(JOBS)
	mkdir -p build/fuzz/corpus build/fuzz/state
	cd build/fuzz && XDG_STATE_HOME="$$PWD/state" HOME="$$PWD/state" ./tests/fuzz/phone_fuzz \
	  -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=2 -artifact_prefix=./ corpus ../../tests/fuzz/corpus

install: check-deps build-release
	cmake --install build/release --prefix $(PREFIX)
	cp build/release/install_manifest.txt $(INSTALLED)

# Takes back the last make install: its files, then the folders that are Torvane's alone; not while
# a helper installed from source is on, whose removal script would go with it.
uninstall:
	@test -f $(INSTALLED) || { echo "make uninstall: $(INSTALLED) is missing; nothing was installed from this build" >&2; exit 1; }
	@test ! -e /etc/systemd/system/jp.local.torvane.helper.service || { echo "make uninstall: the helper installed from source is still on; take it off first (its script goes with this): sudo bash $(PREFIX)/share/torvane/uninstall.sh --keep-app" >&2; exit 1; }
	xargs -d '\n' rm -f -- < $(INSTALLED)
	sed -n 's:/\(libexec\|share\|share/doc\)/torvane/.*:/\1/torvane:p' $(INSTALLED) | sort -u | xargs -r -d '\n' rmdir --ignore-fail-on-non-empty --
	rm -f $(INSTALLED)

# build/release/torvane_<version>_<arch>.deb
package: check-deps build-release
	cmake --build --preset release --target package

CXX_SOURCES = git ls-files -z '*.cpp' '*.hpp' '*.mm'
format:
	$(CXX_SOURCES) | xargs -0 clang-format -i

# Lists every file that differs from .clang-format and fails if there is one.
format-check:
	$(CXX_SOURCES) | xargs -0 clang-format --dry-run -Werror

clean:
	rm -rf build
