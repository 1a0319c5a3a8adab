# Every target does its work inside the Debian 13 build root through
# scripts/in-env; this Makefile itself runs on the host.

IN_ENV := scripts/in-env
PYTEST_ARGS ?=
# make bench QUICK=1: every workload with tiny counts; BENCH_ARGS=... adds
# arguments (e.g. --only W1,W3).
QUICK ?=
BENCH_ARGS ?=

.PHONY: all env build ftcheck test demo sanitize bench wheel wheel-test docs clean

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

sanitize:
	$(IN_ENV) scripts/sanitize $(PYTEST_ARGS)

bench: build
	$(IN_ENV) scripts/venv-sync bench
	$(IN_ENV) env KELVEX_COMMIT="$$(git describe --always --dirty 2>/dev/null)" \
		python bench/run.py $(if $(QUICK),--quick --out build/bench/quick) $(BENCH_ARGS)

# make wheel PYTHON=/path/to/python3.13t: the wheel of that interpreter.
wheel:
	$(IN_ENV) env $(if $(PYTHON),PYTHON="$(PYTHON)") scripts/wheel

wheel-test:
	scripts/wheel-test

docs: build
	$(IN_ENV) scripts/docs

clean:
	rm -rf build dist
