#!/usr/bin/env bash
# Installs, with apt-get, whichever of the Debian 12 packages the toolkit needs
# are missing. A machine that has them all spends one dpkg-query and no more.
# Optional groups named as arguments add their packages:
#   demo   the corpus of `make demo`: English sentences and two speech synthesisers
#   checks clang, its sanitizer runtimes and clang-format, for CI's `make fuzz`
#          and `make format-check`
# --list prints the package names, one a line, and installs nothing (Debian 13
# has the same names: scripts/trixie.sh installs this list there).
set -euo pipefail

packages=(
  g++ make python3 python3-dev python3-setuptools python3-pip ninja-build
  pybind11-dev python3-torch libtorch-dev python3-torchaudio
  python3-numpy python3-pandas python3-matplotlib python3-seaborn python3-tqdm
  python3-pytest python3-yaml
  # the C edit distances the error-rate tests and benchmark check against
  python3-levenshtein
  # without an optimised BLAS PyTorch and NumPy fall back to the reference one
  # (about 50x slower on matrix products). The OpenMP build shares PyTorch's
  # OpenMP threads; the pthreads build brings a second pool that fights them
  # (a small training run took 5x longer with it).
  libopenblas0-openmp
)

list=0
for group in "$@"; do
  case "$group" in
    --list) list=1 ;;
    # fortunes brings fortunes-min; both are plain-text data (BSD and public-domain
    # collections). espeak-ng and flite are the two text-to-speech engines.
    demo) packages+=(fortunes espeak-ng flite) ;;
    # CI's extra checks: clang with libFuzzer and its sanitizer runtimes, the formatter
    checks) packages+=(clang libclang-rt-14-dev clang-format) ;;
    *) echo "install-deps: unknown package group '$group' (known: demo, checks)" >&2; exit 2 ;;
  esac
done

if [ "$list" -eq 1 ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

installed=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null \
  | awk '$2 ~ /^ii/ {print $1}' || true)
missing=()
for p in "${packages[@]}"; do
  grep -qx "$p" <<<"$installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
