# Korvel Crypt. `make run` and `make test` install what is missing, configure and build.
BUILD      ?= build
SAN_BUILD  ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
FUZZ_SECONDS ?= 30
FUZZ_ENVELOPE_SECONDS ?= 60

.PHONY: all deps configure build run test sanitize fuzz bench package translations clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	exec $(BUILD)/app/korvelcrypt $(ARGS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure --timeout 120 -j $(JOBS)

sanitize: deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKORVEL_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ctest --test-dir $(SAN_BUILD) --output-on-failure --timeout 480 -j $(JOBS) -LE nosanitize

# libFuzzer targets: each runs FUZZ_SECONDS (the envelope target FUZZ_ENVELOPE_SECONDS)
# from its seed corpus; the libraries they exercise are instrumented for coverage too.
# Ends with one coverage line per target; fails when a target found a fault.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKORVEL_FUZZ=ON -DKORVEL_BUILD_APP=OFF $(CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_ENVELOPE_SECONDS)

bench: build
	@set -e; for b in $(BUILD)/bench/*; do [ -x $$b ] && [ -f $$b ] && { echo "== $$(basename $$b)"; $$b; }; done

# The Debian package, korvelcrypt_<version>_<arch>.deb, in $(BUILD).
package: build
	cd $(BUILD) && cpack -G DEB

# lupdate over the window's sources: new and changed texts into translations/*.ts.
translations: configure
	cmake --build $(BUILD) --target translations

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)
