# Front door: make deps | make build | make test
.PHONY: deps build build-native build-windows test test-native test-windows clean

JOBS ?= $(shell nproc)

deps:
	@bash scripts/deps.sh

build-native:
	cmake --preset native
	cmake --build --preset native -j $(JOBS)

build-windows:
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)

build: build-native build-windows

test-native: build-native
	ctest --preset native -j $(JOBS)

test-windows: build-windows
	ctest --preset windows -j $(JOBS)

test: deps
	$(MAKE) test-native
	$(MAKE) test-windows

clean:
	rm -rf build
