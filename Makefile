# The README's two commands are `make demo` and `make test`.
SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c
PY ?= /usr/bin/python3
JOBS ?= $(shell nproc)

# ninja echoes every compile command; errors and warnings still show
BUILD_NOISE := ^\[[0-9]+/[0-9]+\] c\+\+ |^(Emitting|Compiling|Allowing|ninja: no work|No CUDA runtime)|^$$

.PHONY: deps build test demo bench clean fuzz

deps:
	@scripts/install-deps.sh

# In place, so the repository root is importable; test-only extensions too.
build: deps
	CORVANTIS_TEST_EXT=1 $(PY) setup.py -q build_ext --inplace -j $(JOBS) -b build/inplace -t build/inplace-temp 2>&1 \
	  | { grep -v -E "$(BUILD_NOISE)" || true; }

test: build
	$(PY) -m pytest tests

# the demo's corpus needs speech engines and English text that tests never use
demo: build
	@scripts/install-deps.sh demo
	$(PY) examples/demo.py

# Each libFuzzer target for FUZZ_SECONDS (clang with libFuzzer; not part of `make test`).
FUZZ_SECONDS ?= 60

fuzz:
	tests/fuzz/run.sh $(FUZZ_SECONDS) $(PY)

clean:
	rm -rf build
	find corvantis lumbrix tests -name '*.so' -delete 2>/dev/null || true
