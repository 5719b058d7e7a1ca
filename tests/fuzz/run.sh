#!/bin/bash
# Builds each libFuzzer target and runs it for SECONDS (default 60) from fresh
# seeds, a corpus kept in build/fuzz and the committed regressions. A crash
# leaves its input as build/fuzz/<target>-crash-*; the run then fails.
# Needs clang with libFuzzer, and the interpreter's headers and library for
# the reader target. Usage: tests/fuzz/run.sh [SECONDS] [PYTHON]
set -euo pipefail
seconds=${1:-60}
py=${2:-/usr/bin/python3}
cd "$(dirname "$0")/../.."
out=build/fuzz
mkdir -p "$out"
flags=(-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I src)
py_include=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
py_libdir=$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("LIBDIR"))')
py_lib=python$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("LDVERSION"))')
torch_includes=$("$py" -c 'from torch.utils import cpp_extension as c; print(" ".join(c.include_paths()))')
reader_flags=(-I "$py_include" -L "$py_libdir" "-l$py_lib" -Wl,-rpath,"$py_libdir")
for dir in $torch_includes; do reader_flags+=(-isystem "$dir"); done

# name, seed script, largest input, regression suffix
targets=("npy make_seeds.py 4096 npy" "checkpoint make_checkpoint_seeds.py 8192 pkl"
         "reader make_checkpoint_seeds.py 8192 pkl")
for target in "${targets[@]}"; do
  read -r name seeds max_len ext <<< "$target"
  extra=()
  [ "$name" = reader ] && extra=("${reader_flags[@]}")
  clang++ "${flags[@]}" "tests/fuzz/${name}_fuzz.cpp" -o "$out/${name}_fuzz" "${extra[@]}"
  mkdir -p "$out/$name-corpus" "$out/$name-regressions"
  "$py" "tests/fuzz/$seeds" "$out/$name-seeds"
  cp tests/fuzz/regressions/*."$ext" "$out/$name-regressions/"
  ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc "$out/${name}_fuzz" \
    -max_total_time="$seconds" -max_len="$max_len" -timeout=20 -rss_limit_mb=4096 \
    -artifact_prefix="$out/$name-" "$out/$name-corpus" "$out/$name-seeds" "$out/$name-regressions"
done
