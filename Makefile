# The README's two commands are `make demo` and `make test`.
PY ?= /usr/bin/python3
JOBS ?= $(shell nproc)

.PHONY: deps build test demo bench clean

deps:
	@scripts/install-deps.sh

# In place, so the repository root is importable; test-only extensions too.
build: deps
	CORVANTIS_TEST_EXT=1 $(PY) setup.py -q build_ext --inplace -j $(JOBS)

test: build
	$(PY) -m pytest -q tests

demo: build
	$(PY) examples/demo.py

clean:
	rm -rf build
	find corvantis lumbrix tests -name '*.so' -delete 2>/dev/null || true
