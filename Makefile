# Front door: make deps | make build | make test | make demo | make setup | make bench
.PHONY: deps build build-native build-windows test test-native test-windows demo setup bench clean

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

# Packs the demo setup files and runs the first one in a fresh Wine prefix (scripts/demo.sh).
demo:
	@bash scripts/demo.sh

# The setup files of a release (scripts/setup.sh):
#   make setup PAYLOAD=folder VERSION=x.y.z [OUT=folder] [CERT=cert.pem KEY=key.pem [CAFILE=ca.pem]]
#              [TSURL=timestamp-url]
setup: deps
	@PAYLOAD="$(PAYLOAD)" VERSION="$(VERSION)" OUT="$(OUT)" CERT="$(CERT)" KEY="$(KEY)" \
	    CAFILE="$(CAFILE)" TSURL="$(TSURL)" bash scripts/setup.sh

# The extraction benchmark against unzip, 7-Zip and bsdtar (tests/payload/bench/payload_bench.sh).
bench: deps build-windows
	@bash tests/payload/bench/payload_bench.sh

clean:
	rm -rf build
