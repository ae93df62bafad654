# The front door: `make run`, `make test`, `make demo`. Everything else is CMake
# presets (CMakePresets.json); this file only names the common journeys.

PREFIX ?= /usr/local
DESTDIR ?=
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 30

.PHONY: all release build run test test-default test-newest test-tsan test-asan test-fuzz bench fault-sweep \
        mutation demo dist install uninstall deps format clean

all: release

# The program alone, optimised, as users get it: no test framework needed.
release:
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

# The development build: optimised with debug info, with every test suite.
build:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

# Installs only the build layer, and only what of it is missing.
run:
	scripts/bootstrap build
	$(MAKE) --no-print-directory release
	scripts/start build-release/pacpick

deps:
	scripts/bootstrap test

# The stripped program, its manual page and the licence under
# $(DESTDIR)$(PREFIX), by the install rules in CMakeLists.txt. Uninstall
# removes exactly those three files, and the licence's directory when empty.
install: release
	DESTDIR='$(DESTDIR)' cmake --install build-release --prefix '$(PREFIX)' --strip

uninstall:
	rm -f '$(DESTDIR)$(PREFIX)/bin/pacpick' '$(DESTDIR)$(PREFIX)/share/man/man1/pacpick.1' \
	      '$(DESTDIR)$(PREFIX)/share/licenses/pacpick/LICENSE'
	rmdir '$(DESTDIR)$(PREFIX)/share/licenses/pacpick' 2>/dev/null || true

# The release tarball of the checked-out commit in dist/, beside a copy of the
# PKGBUILD and a .SRCINFO that name its checksum: `cd dist && makepkg -si`
# builds it. No tracked file changes.
dist:
	scripts/dist dist

# Installs what is missing, then builds and runs every test: the unit, component,
# end-to-end and real-terminal suites, the program and the unit tests with the
# newest clang and libc++, the unit and component suites under ThreadSanitizer
# and under AddressSanitizer with UndefinedBehaviorSanitizer, and a short fuzzing run.
test: deps
	$(MAKE) test-default
	$(MAKE) test-newest
	$(MAKE) test-tsan
	$(MAKE) test-asan
	$(MAKE) test-fuzz

test-default: build
	ctest --preset default -j $(JOBS)

# The compilers Arch users build with are newer than ours and libc++ is
# stricter about includes: both catch what g++ and clang++ let through.
test-newest:
	cmake --preset newest >/dev/null
	cmake --build --preset newest -j $(JOBS)
	ctest --preset newest -j $(JOBS)

test-tsan:
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

test-asan:
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

test-fuzz:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	scripts/run-fuzz build-fuzz $(FUZZ_SECONDS)

# Fails every call the program makes to the system, one run at a time, in two
# scripted sessions, and prints per function the call sites, runs and runs that
# broke a promise; the table is also written to tests/faults/full-sweep.md.
fault-sweep: build
	/usr/bin/python3 tests/faults/sweep.py --full --jobs $(JOBS) --table tests/faults/full-sweep.md

# Mutation testing (docs/testing.md): single-point mutants of MUTATION_FILES,
# each built in a copy of the checkout under build-mutation/ and tried against
# the unit and component tests; prints and writes the survivors. Not part of
# `make test`: all mutants of the default files take hours.
# MUTATION_PER_FILE=all tries every mutant; MUTATION_FILES=src/x.cc@3,17 reruns some.
MUTATION_FILES ?= $(sort $(wildcard src/runtime/*.cc src/term/*.cc src/process/*.cc \
                                    src/queries/*.cc src/screen/*.cc)) src/main/main_loop.cc
# Where the tests are meant to catch nearly every mutant that changes behaviour:
# MUTATION_FILES='$(MUTATION_FOCUS)'.
MUTATION_FOCUS = src/term/decoder.cc src/term/decoder_csi.cc src/term/decoder_extended.cc \
                 src/term/raw_mode.cc src/process/child.cc src/runtime/task_cell.cc \
                 src/queries/filter.cc src/screen/frame.cc src/main/main_loop.cc
MUTATION_SEED ?= 1
MUTATION_PER_FILE ?= 20
MUTATION_JOBS ?= 1
mutation:
	/usr/bin/python3 scripts/mutate --seed '$(MUTATION_SEED)' --per-file '$(MUTATION_PER_FILE)' \
	    --jobs '$(MUTATION_JOBS)' --report build-mutation/report.md $(MUTATION_FILES)

# Installs the demo layer if something of it is missing, builds, creates a
# throwaway pacman world in ~/.cache/pacpick-demo and starts pacpick in it:
# real installs and removals that never touch the host's packages.
demo:
	scripts/demo

bench: deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	scripts/run-bench build-bench

format:
	find src tests bench fuzz -name '*.cc' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build build-* dist
