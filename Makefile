# The two commands that do everything on a fresh machine.
.PHONY: run test build-release build-test install clean format bootstrap

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

install: build-release
	cmake --install build/release --prefix $(or $(PREFIX),/usr/local)

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build
