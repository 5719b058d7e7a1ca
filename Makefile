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

# Each libFuzzer target for FUZZ_SECONDS (clang with libFuzzer; not part of `make test`),
# from fresh seeds, the corpus kept in build/fuzz and the committed regressions. A crash
# leaves its input in build/fuzz/<target>-crash-*.
FUZZ_SECONDS ?= 60
FUZZ_DIR := build/fuzz
FUZZ_CXX := clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I src
FUZZ_TARGETS := npy:tests/fuzz/make_seeds.py:4096:npy checkpoint:tests/fuzz/make_checkpoint_seeds.py:8192:pkl

fuzz:
	@set -e; for t in $(FUZZ_TARGETS); do \
	  IFS=: read name seeds max_len ext <<< "$$t"; \
	  mkdir -p $(FUZZ_DIR)/$$name-corpus $(FUZZ_DIR)/$$name-regressions; \
	  $(FUZZ_CXX) tests/fuzz/$${name}_fuzz.cpp -o $(FUZZ_DIR)/$${name}_fuzz; \
	  $(PY) $$seeds $(FUZZ_DIR)/$$name-seeds; \
	  cp tests/fuzz/regressions/*.$$ext $(FUZZ_DIR)/$$name-regressions/; \
	  $(FUZZ_DIR)/$${name}_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=$$max_len -timeout=10 \
	    -rss_limit_mb=2048 -artifact_prefix=$(FUZZ_DIR)/$$name- $(FUZZ_DIR)/$$name-corpus \
	    $(FUZZ_DIR)/$$name-seeds $(FUZZ_DIR)/$$name-regressions; \
	done

clean:
	rm -rf build
	find corvantis lumbrix tests -name '*.so' -delete 2>/dev/null || true
