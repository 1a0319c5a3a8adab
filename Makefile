# Every target does its work inside the Debian 13 build root through
# scripts/in-env; this Makefile itself runs on the host.

IN_ENV := scripts/in-env
# make test PYTHON=/path/to/python3.13t (a path inside the build root, for
# instance a free-threaded CPython): every target runs with that interpreter,
# its own venv (/opt/kelvex-venv-<tag> in the root) and its own build folder
# (build/<tag>/); see scripts/in-env.  Only a PYTHON given on the command
# line counts, so that one in the environment changes nothing.
ifeq ($(origin PYTHON),command line)
ifneq ($(strip $(PYTHON)),)
IN_ENV := KELVEX_PYTHON=$(PYTHON) scripts/in-env
unexport PYTHON
endif
endif
PYTEST_ARGS ?=
# make bench QUICK=1: every workload with tiny counts; BENCH_ARGS=... adds
# arguments (e.g. --only W1,W3).
QUICK ?=
BENCH_ARGS ?=

# make stress: the thread stress scenarios and the long forms below for
# STRESS_SECONDS each.
STRESS_SECONDS ?= 20
SOAK_TRANSFERS ?= 100000

.PHONY: all env build ftcheck test demo sanitize stress tsan fuzz-long bench wheel wheel-test wheel-all docs clean

all: build

env:
	$(IN_ENV) true

build:
	$(IN_ENV) scripts/build

ftcheck:
	$(IN_ENV) scripts/ftcheck

test: build ftcheck
	$(IN_ENV) scripts/test $(PYTEST_ARGS)

demo: build
	$(IN_ENV) python examples/demo.py

# The long forms of the fault, fuzzing, memory-exhaustion and soak tests run
# too (SOAK_TRANSFERS transfers for the soak) and print their figures at the
# end: faults tried, calls fuzzed, allocation failures injected, transfers
# soaked and the memory drift.  Then the API fuzzing runs its long form
# again against the sanitizer build, where a memory error ends the run.
stress: build
	$(IN_ENV) env KELVEX_STRESS_SECONDS=$(STRESS_SECONDS) KELVEX_SOAK_TRANSFERS=$(SOAK_TRANSFERS) \
		scripts/test -q tests/test_threads_stress.py tests/test_thread_matrix.py tests/test_faults.py \
		tests/test_fuzz_api.py tests/test_nomemory.py tests/test_soak.py $(PYTEST_ARGS)
	$(IN_ENV) env KELVEX_STRESS_SECONDS=$(STRESS_SECONDS) \
		scripts/sanitize -q tests/test_fuzz_api.py $(PYTEST_ARGS)

sanitize:
	$(IN_ENV) scripts/sanitize $(PYTEST_ARGS)

# The thread tests under ThreadSanitizer, kelvex and a free-threaded CPython
# both built with it (the interpreter once, kept in the build root beside
# /opt/python3.13t, whose venv it borrows).  The stress scenarios run
# TSAN_SECONDS each.
FT_PYTHON := /opt/python3.13t/bin/python3.13t
TSAN_SECONDS ?= 5
tsan:
	scripts/in-env scripts/build-python-ft
	scripts/in-env scripts/build-python-ft --tsan
	KELVEX_PYTHON=$(FT_PYTHON) KELVEX_STRESS_SECONDS=$(TSAN_SECONDS) \
		scripts/in-env scripts/tsan $(PYTEST_ARGS)

# The long fuzzing campaign, not in CI: the API fuzzer for HOURS hours under
# AddressSanitizer and UBSan (GIL build), then HOURS hours under
# ThreadSanitizer (free-threaded build); prints the calls made, the distinct
# states reached and the findings (scripts/fuzz-long; CAMPAIGNS=asan or
# CAMPAIGNS=tsan runs one of them).
HOURS ?= 1
fuzz-long:
	scripts/fuzz-long $(HOURS)

bench: build
	$(IN_ENV) scripts/venv-sync bench
	$(IN_ENV) env KELVEX_COMMIT="$$(git describe --always --dirty 2>/dev/null)" \
		python bench/run.py $(if $(QUICK),--quick --out build/bench/quick) $(BENCH_ARGS)

# The manylinux wheels of this machine (cp313 and cp313t from the
# interpreters built in the wheel root, cp314 and cp315 from Debian's
# CPython headers) and the sdist, built in their own Debian 11 root
# (scripts/make-wheel-root, scripts/wheel-deps), and their tests: cp313 and
# cp313t in plain Debian 11, 12 and 13 roots, cp314 and cp315 on the whole
# suite in a Debian sid root with Debian's python3.14 and python3.15.
wheel:
	scripts/wheel

wheel-test:
	scripts/wheel-test

# wheel-all adds the same four wheels for aarch64, cross-built, tested under
# qemu: cp313 and cp313t in an arm64 Debian 11 root (AARCH64_RELEASES=
# "bullseye trixie" adds Debian 13 and its own python3.13), cp314 and cp315
# in an arm64 sid root with Debian's python3.14 and python3.15.
wheel-all: wheel wheel-test
	scripts/wheel --arch aarch64
	scripts/wheel-test $$(for abi in cp313-cp313 cp313-cp313t cp314-cp314 cp315-cp315; do \
		ls -t dist/kelvex-*-$$abi-manylinux_*_aarch64.whl | head -n1; done)

docs: build
	$(IN_ENV) scripts/docs

clean:
	rm -rf build dist
