# The README's two commands are `make demo` and `make test`; `make test-trixie`
# builds and tests SRC (this checkout by default) on Debian 13 (scripts/trixie.sh).
SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c
PY ?= /usr/bin/python3
JOBS ?= $(shell nproc)

# ninja echoes every compile command; errors and warnings still show
BUILD_NOISE := ^\[[0-9]+/[0-9]+\] c\+\+ |^(Emitting|Compiling|Allowing|ninja: no work|No CUDA runtime)|^$$

.PHONY: deps build test test-trixie demo bench clean werror sanitize fuzz format format-check

deps:
	@scripts/install-deps.sh

# In place, so the repository root is importable; test-only extensions too.
build: deps
	CORVANTIS_TEST_EXT=1 $(PY) setup.py -q build_ext --inplace -j $(JOBS) -b build/inplace -t build/inplace-temp 2>&1 \
	  | { grep -v -E "$(BUILD_NOISE)" || true; }

test: build
	$(PY) -m pytest tests

SRC ?= $(CURDIR)
test-trixie:
	scripts/trixie.sh -j $(JOBS) $(SRC)

# Warnings are errors. Objects of their own, so the in-place build keeps its
# flags and stays incremental.
werror: deps
	CORVANTIS_WERROR=1 CORVANTIS_TEST_EXT=1 $(PY) setup.py -q build_ext -j $(JOBS) -b build/werror -t build/werror-temp 2>&1 \
	  | { grep -v -E "$(BUILD_NOISE)" || true; }

# The native-heavy tests under AddressSanitizer and UndefinedBehaviorSanitizer.
# The tests find the packages through the repository root, so the sanitized
# build lives in a copy of the tree (sources only; its objects stay between
# runs). The interpreter is not instrumented: the ASan runtime is preloaded,
# with libstdc++ (which the interpreter does not load, and without which ASan
# cannot wrap C++ throws); Python allocates with malloc so ASan sees every
# object; leaks are not reported (the interpreter keeps much alive at exit);
# the first report ends the process and fails the run. Native stderr is not
# captured, so the report stays on the console.
SAN_TREE := build/sanitize
SAN_TESTS := tests/test_binding.py tests/test_pyutil.py tests/test_npy_reader.py tests/test_workers.py \
  tests/test_compat.py tests/test_tolvery.py tests/test_pimbrook.py tests/test_summary.py
SAN_SELECT := not test_tolvery and not test_pimbrook \
  or test_tolvery and (reader or pickle or unreadable or serialisation or checkpoint or record or round_trip) \
  or test_pimbrook and (padding or batches or general_path or collate or masks)
SAN_PRELOAD = $$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)
SAN_ENV = ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONMALLOC=malloc LD_PRELOAD="$(SAN_PRELOAD)"

sanitize: deps
	mkdir -p $(SAN_TREE)
	rm -rf $(SAN_TREE)/src $(SAN_TREE)/tests
	tar -cf - --exclude=./build --exclude=./.git --exclude=./data --exclude=./expts --exclude='*.so' \
	  --exclude='*.o' --exclude=__pycache__ . | tar -xf - -C $(SAN_TREE)
	cd $(SAN_TREE) && CORVANTIS_SANITIZE=address,undefined CORVANTIS_TEST_EXT=1 \
	  $(PY) setup.py -q build_ext --inplace -j $(JOBS) -b build/inplace -t build/inplace-temp 2>&1 \
	  | { grep -v -E "$(BUILD_NOISE)" || true; }
	cd $(SAN_TREE) && $(SAN_ENV) $(PY) -m pytest -q --capture=sys $(SAN_TESTS) -k "$(SAN_SELECT)"

# The C++ sources in the style of .clang-format (clang-format 14).
FORMATTED = $$(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp')
format:
	clang-format -i $(FORMATTED)
format-check:
	@scripts/install-deps.sh checks
	clang-format --dry-run -Werror $(FORMATTED)

# the demo's corpus needs speech engines and English text that tests never use
demo: build
	@scripts/install-deps.sh demo
	$(PY) examples/demo.py

# Each libFuzzer target for FUZZ_SECONDS (clang with libFuzzer; not part of `make test`).
FUZZ_SECONDS ?= 60

fuzz: deps
	@scripts/install-deps.sh checks
	tests/fuzz/run.sh $(FUZZ_SECONDS) $(PY)

clean:
	rm -rf build
	find corvantis lumbrix tests -name '*.so' -delete 2>/dev/null || true
