# Korvel Crypt. `make run` and `make test` install what is missing, configure and build.
BUILD      ?= build
SAN_BUILD  ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
FUZZ_SECONDS ?= 30
FUZZ_ENVELOPE_SECONDS ?= 60
# make fuzz-replay: seconds per target after its seed corpus.
FUZZ_REPLAY_SECONDS ?= 5

# The CI build (CI=true, as .ci/run sets it): every warning is an error.
ifeq ($(CI),true)
CMAKE_ARGS += -DKORVEL_WERROR=ON
endif

# ThreadSanitizer maps its shadow memory at fixed addresses, which a randomised
# layout with many bits (vm.mmap_rnd_bits above 28) can occupy: where setarch may
# turn address randomisation off, the tests run without it.
TSAN_NO_ASLR := $(shell setarch $$(uname -m) -R true 2>/dev/null && echo setarch $$(uname -m) -R)
TSAN_OPTIONS_CI := suppressions=$(CURDIR)/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1

.PHONY: all deps configure build run test sanitize tsan fuzz fuzz-replay format-check bench package translations clean

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

# The engine's and the command-line tool's tests under ThreadSanitizer; a data race
# fails the test (tests/tsan.supp names what is not ours to mend, and why; the
# tests that run the manager's threads through Qt's event queue say in
# tests/KorvelTests.cmake what they leave unchecked).
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_TSAN=ON $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS="$(TSAN_OPTIONS_CI) $(TSAN_OPTIONS)" $(TSAN_NO_ASLR) \
		ctest --test-dir $(TSAN_BUILD) --output-on-failure --timeout 1200 -j $(JOBS) -L 'engine|cli'

# libFuzzer targets: each runs FUZZ_SECONDS (the envelope target FUZZ_ENVELOPE_SECONDS)
# from its seed corpus; the libraries they exercise are instrumented for coverage too.
# Ends with one coverage line per target; fails when a target found a fault.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKORVEL_FUZZ=ON -DKORVEL_BUILD_APP=OFF $(CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_ENVELOPE_SECONDS)

# Every fuzz target's seed corpus, then a short run of each: what CI affords.
fuzz-replay:
	$(MAKE) fuzz FUZZ_SECONDS=$(FUZZ_REPLAY_SECONDS) FUZZ_ENVELOPE_SECONDS=$(FUZZ_REPLAY_SECONDS)

# Every tracked C and C++ source as .clang-format lays it out; lists what differs.
format-check:
	git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

bench: build
	@set -e; for b in $(BUILD)/bench/*; do [ -x $$b ] && [ -f $$b ] && { echo "== $$(basename $$b)"; $$b; }; done

# The Debian package, korvelcrypt_<version>_<arch>.deb, in $(BUILD).
package: build
	cd $(BUILD) && cpack -G DEB

# lupdate over the window's sources: new and changed texts into translations/*.ts.
translations: configure
	cmake --build $(BUILD) --target translations

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD) $(TSAN_BUILD)
