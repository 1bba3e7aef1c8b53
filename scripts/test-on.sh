#!/usr/bin/env bash
# The test command (scripts/test.sh) in a fresh Debian root of another
# release, as a newcomer on that release would run it: the root made with
# mmdebstrap from the package registry that apt uses here, holding a fresh
# clone of this repository's HEAD (what is committed, nothing else).
#   test-on.sh RELEASE      e.g. trixie (Debian 13) or bookworm (Debian 12)
# Needs root. /proc, /sys and /dev are bound in, and the root onto itself so
# that the tests' own `unshare -m` works there; all in a mount namespace of
# this script's own, so the mounts go when it ends. The root is removed at
# the end unless QJ570_KEEP_ROOT=1.
set -euo pipefail
release=${1:?usage: test-on.sh RELEASE (e.g. trixie)}
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "test-on.sh: needs root (mmdebstrap, mounts, chroot)" >&2
  exit 1
fi
command -v mmdebstrap >/dev/null ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap

# Debian's archive and its security archive, as apt here knows them.
here=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
sites() {  # SUITE: the sites apt fetches SUITE from
  apt-get indextargets --format '$(SITE) $(RELEASE)' 'Created-By: Packages' |
    awk -v suite="$1" '$2 == suite { print $1; exit }'
}
archive=$(sites "$here")
security=$(sites "$here-security")
if [ -z "$here" ] || [ -z "$archive" ]; then
  echo "test-on.sh: apt here fetches no Debian release named in /etc/os-release" >&2
  exit 1
fi
sources=("deb $archive $release main" "deb $archive $release-updates main")
[ -z "$security" ] || sources+=("deb $security $release-security main")

root=$(mktemp -d "/var/tmp/qj570-$release.XXXXXX")
[ "${QJ570_KEEP_ROOT:-0}" = 1 ] || trap 'rm -rf --one-file-system "$root"' EXIT
echo "test-on.sh: a fresh $release root in $root, from ${sources[*]}"
t0=$SECONDS
# git: the newcomer cloned the repository; the lint step lists its files.
mmdebstrap --quiet --variant=apt --include=git,ca-certificates "$release" "$root" "${sources[@]}"
made=$((SECONDS - t0))
git clone --quiet --no-local "$PWD" "$root/root/qj570-rs232"
echo "test-on.sh: root made in $made s; testing $(git rev-parse --short HEAD) there"

t0=$SECONDS
status=0
unshare --mount --propagation private -- bash -euo pipefail -c '
  root=$1
  mount --bind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --rbind /dev "$root/dev"
  exec chroot "$root" env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c "cd /root/qj570-rs232 && bash scripts/test.sh"
' - "$root" || status=$?
took=$((SECONDS - t0))

echo
if [ "$status" -eq 0 ]; then
  echo "test-on.sh: scripts/test.sh passed on $release in $took s (the root took $made s to make)"
else
  echo "test-on.sh: scripts/test.sh FAILED on $release (status $status) after $took s" \
    "(the root took $made s to make)"
fi
exit "$status"
