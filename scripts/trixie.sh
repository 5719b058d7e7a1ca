#!/usr/bin/env bash
# Builds a source tree of the toolkit against Debian 13 (trixie: PyTorch 2.6,
# NumPy 2, Python 3.13, g++ 14) and runs its tests there.
#
#   scripts/trixie.sh [-j JOBS] [SOURCE_DIR] [-- PYTEST_ARGS...]
#
# SOURCE_DIR defaults to this checkout, JOBS to the number of CPUs, the pytest
# arguments to the whole suite. CORVANTIS_WERROR is passed on to the build,
# OMP_NUM_THREADS (when set) to the build and the tests.
#
# The trixie tree is made once with debootstrap under $CORVANTIS_TRIXIE_CACHE
# (default /var/cache/corvantis-trixie), in a directory named by a hash of its
# package list, and reused while that list is unchanged; it is built in a
# temporary directory and renamed when complete, so an interrupted build
# leaves nothing behind. Each source tree gets its own working copy and build
# directory inside it (the source's own build outputs are never touched), and
# each run its own mount namespace, so several trees can be tested at once.
# Needs root.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
usage() { echo "usage: $0 [-j JOBS] [SOURCE_DIR] [-- PYTEST_ARGS...]" >&2; exit 2; }
die() { echo "trixie: $*" >&2; exit 1; }

jobs=$(nproc)
src=
while [ $# -gt 0 ]; do
  case $1 in
    -j) [ $# -ge 2 ] || usage; jobs=$2; shift 2 ;;
    -j*) jobs=${1#-j}; shift ;;
    --) shift; break ;;
    -*) usage ;;
    *) [ -z "$src" ] || usage; src=$1; shift ;;
  esac
done
[ -n "$src" ] || src=$(dirname "$here")
pytest_args=("$@")
[ ${#pytest_args[@]} -gt 0 ] || pytest_args=(tests)
[[ $jobs =~ ^[1-9][0-9]*$ ]] || die "the job count must be a positive number, not '$jobs'"
src=$(cd "$src" && pwd)
[ -f "$src/setup.py" ] && [ -f "$src/Makefile" ] || die "$src holds no setup.py and Makefile"
[ "$(id -u)" -eq 0 ] || die "debootstrap and chroot need root"

suite=trixie
mirror=${CORVANTIS_TRIXIE_MIRROR:-http://deb.debian.org/debian}
cache=${CORVANTIS_TRIXIE_CACHE:-/var/cache/corvantis-trixie}

# The source's own package list when it can print one; rsync makes the working copy.
deps=$src/scripts/install-deps.sh
"$deps" --list >/dev/null 2>&1 || deps=$here/install-deps.sh
mapfile -t packages < <("$deps" --list)
packages+=(rsync)
key=$(printf '%s\n' "$suite" "$mirror" "${packages[@]}" | sort -u | sha256sum | cut -c1-16)
root=$cache/$key

# Runs a command chrooted into tree $1, in a mount namespace of its own: the
# mounts vanish with it, and parallel runs do not see each other's. Source
# directory $2 (or "-") is mounted read-only at /mnt.
in_tree() {
  local tree=$1 source=$2
  shift 2
  unshare --mount --propagation private -- /bin/bash -euc '
    tree=$1 source=$2; shift 2
    mount -t proc proc "$tree/proc"
    mount --rbind /dev "$tree/dev"
    mount --rbind /sys "$tree/sys"
    if [ "$source" != - ]; then
      mount --bind "$source" "$tree/mnt"
      mount -o remount,bind,ro "$tree/mnt"
    fi
    exec chroot "$tree" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"' in_tree "$tree" "$source" "$@"
}

build_tree() {
  if ! command -v debootstrap >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap
  fi
  local tmp start
  tmp=$(mktemp -d "$cache/.new.XXXXXX")
  chmod 755 "$tmp"  # it becomes /, which apt's own user must traverse
  # nothing is mounted in it outside in_tree's namespaces, so it may simply go
  trap 'rm -rf --one-file-system "$tmp"' EXIT
  start=$SECONDS
  debootstrap --variant=minbase "$suite" "$tmp" "$mirror" >"$tmp.log" 2>&1 \
    || { tail -20 "$tmp.log" >&2; rm -f "$tmp.log"; die "debootstrap failed"; }
  rm -f "$tmp.log"
  echo "trixie: debootstrap $((SECONDS - start)) s"
  start=$SECONDS
  in_tree "$tmp" - apt-get update -q >/dev/null
  in_tree "$tmp" - apt-get install -y -q --no-install-recommends "${packages[@]}" >/dev/null
  in_tree "$tmp" - apt-get clean
  mkdir -p "$tmp/work"
  echo "trixie: packages $((SECONDS - start)) s (${#packages[@]} named)"
  # trees of older package lists go; no run holds them, since we hold the lock
  find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name '.*' -exec rm -rf --one-file-system {} +
  mv "$tmp" "$root"
  trap - EXIT
}

# runs share the lock while they use a tree; making one takes it alone
mkdir -p "$cache"
exec 9>"$cache/lock"
flock -s 9
if [ ! -d "$root" ]; then
  flock -x 9
  [ -d "$root" ] || build_tree
  flock -s 9
fi

# one working copy per source directory; runs of the same source take turns
name=$(basename "$src")-$(printf '%s' "$src" | sha256sum | cut -c1-12)
work=/work/$name
exec 8>"$root$work.lock"
flock -x 8
rm -rf "$root$work.tmp"
mkdir -p "$root$work" "$root$work.tmp"

passed=(CORVANTIS_WERROR="${CORVANTIS_WERROR:-}")
[ -z "${OMP_NUM_THREADS:-}" ] || passed+=(OMP_NUM_THREADS="$OMP_NUM_THREADS")

start=$SECONDS
# build outputs of the source stay out; those of earlier runs here stay in
in_tree "$root" "$src" rsync -a --delete \
  --exclude=/.git --exclude=/build/ --exclude=/corvantis/ --exclude=/lumbrix/ \
  --exclude=/expts/ --exclude=/data/ --exclude='*.so' --exclude='*.o' \
  --exclude=__pycache__/ --exclude=.pytest_cache/ --exclude='*.egg-info/' \
  /mnt/ "$work/"
in_tree "$root" - /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$work" \
  /usr/bin/env "${passed[@]}" make build JOBS="$jobs"
echo "trixie: build $((SECONDS - start)) s ($jobs jobs)"

start=$SECONDS
status=0
in_tree "$root" - /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$work" \
  /usr/bin/env "${passed[@]}" TMPDIR="$work.tmp" /usr/bin/python3 -m pytest "${pytest_args[@]}" \
  || status=$?
rm -rf "$root$work.tmp"
echo "trixie: tests $((SECONDS - start)) s"
exit $status
