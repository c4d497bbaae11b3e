# kesto: `make` builds every artifact, `make test` builds and runs every test,
# `make demo` runs a sample package under Wine. Each target first installs
# what it needs on a fresh Debian machine.
.PHONY: all deps build native x86 x64 test test-x86 demo dist bench fuzz reliability clean

all: build

deps:
	@./scripts/setup-deps.sh

build: deps native x86 x64

native:
	cmake --preset native >/dev/null
	cmake --build --preset native

x86:
	cmake --preset x86 >/dev/null
	cmake --build --preset x86

x64:
	cmake --preset x64 >/dev/null
	cmake --build --preset x64

test: build
	ctest --preset native
	ctest --preset x64

# The end-to-end suite against the release stub, in a 32-bit VM (the first
# run builds the VM image, about 10 minutes; it is cached in build/vm32).
test-x86: deps x86
	@./scripts/setup-deps.sh vm
	./tests/vm32/run-e2e.sh

# Only what the demo runs: the Linux packer, the x64 stub and the Wine helpers
# (a few minutes from a fresh clone); no tests.
demo: deps
	cmake --preset native >/dev/null
	cmake --build --preset native --target kesto-pack
	cmake --preset x64 >/dev/null
	cmake --build --preset x64 --target kesto kesto_expand kesto_run_hidden
	./scripts/demo.sh

# Release files in dist/release: the Linux and Windows archives, the Debian
# package and their SHA256SUMS (scripts/dist.sh). Only the shipped targets are
# built, no tests.
DIST_TARGETS_x64 = kesto kesto-pack kesto_expand kesto_run_hidden
dist: deps
	cmake --preset native >/dev/null
	cmake --build --preset native --target kesto-pack kesto_manual
	cmake --preset x86 >/dev/null
	cmake --build --preset x86 --target kesto
	cmake --preset x64 >/dev/null
	cmake --build --preset x64 --target $(DIST_TARGETS_x64)
	./scripts/dist.sh

# libFuzzer targets over the platform-free logic, with address and undefined
# behaviour checks: FUZZ_SECONDS each (CI: 20), then a table of executions and
# coverage (tests/native/fuzz/run.sh, also in build/fuzz/fuzz-results.md).
FUZZ_SECONDS ?= 60
fuzz:
	@./scripts/setup-deps.sh fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz
	ctest --preset fuzz -LE fuzz
	./tests/native/fuzz/run.sh $(FUZZ_SECONDS)

# The long reliability runs under Wine (300 runs in a row, 4 launchers x 50
# rounds, 8 at once, faults, 200 damaged packages) and FUZZ_SECONDS of each
# fuzz target; prints the figures, also left in build/reliability/results.md.
reliability: build
	./tests/reliability/run.sh

# Benchmarks, each against a baseline measured in the same run; prints one
# table (bench/run.sh). Their packages are made once under build/bench.
bench:
	@./scripts/setup-deps.sh bench
	cmake --preset native >/dev/null
	cmake --build --preset native --target kesto-pack
	cmake --preset x86 >/dev/null
	cmake --build --preset x86 --target kesto
	./bench/run.sh

clean:
	rm -rf build dist
