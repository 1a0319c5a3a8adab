# Every target does its work inside the Debian 13 build root through
# scripts/in-env; this Makefile itself runs on the host.

IN_ENV := scripts/in-env
PYTEST_ARGS ?=

.PHONY: all env build ftcheck test demo sanitize bench clean

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
	@if [ -f bench/run.py ]; then $(IN_ENV) python bench/run.py; else echo "bench: no bench/run.py yet"; fi

clean:
	rm -rf build
