#!/usr/bin/env bash
# Makes an arm64 Debian 12 root file system holding Python 3.11, pytest and
# pip, for running the aarch64 wheel under qemu-aarch64-static. The
# packages are only unpacked (mmdebstrap's extract variant): their
# maintainer scripts would need an arm64 CPU or a registered binfmt
# handler, and Python runs without them. Kept under build/ and reused; a
# changed package list (or --fresh) makes it anew. Run as root.
#   bash scripts/arm64_rootfs.sh [--fresh]    # prints the root's path
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD/build/arm64-root
# libstdc++ and zlib: what a manylinux wheel expects of every system.
PACKAGES="python3,python3-pytest,python3-pip,base-files,libstdc++6,zlib1g"
STAMP=$ROOT/.pemux-packages

[ "${1:-}" = "--fresh" ] && rm -rf "$ROOT"
if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$PACKAGES" ]; then
  echo "$ROOT"; exit 0
fi

bash scripts/apt_install.sh mmdebstrap qemu-user-static >&2
rm -rf "$ROOT"
mkdir -p build
echo "== arm64 root file system ($PACKAGES)" >&2
log=build/arm64-rootfs.log
if ! mmdebstrap --variant=extract --architectures=arm64 --include="$PACKAGES" \
    bookworm "$ROOT" >"$log" 2>&1; then
  cat "$log" >&2; echo "mmdebstrap failed" >&2; exit 1
fi
# What the skipped maintainer scripts would have left: a user for root, a
# writable /tmp, the null device, and the emulator itself so that a chroot
# can start the arm64 programs without binfmt_misc.
echo "root:x:0:0:root:/root:/bin/sh" >"$ROOT/etc/passwd"
echo "root:x:0:" >"$ROOT/etc/group"
mkdir -p "$ROOT/tmp" "$ROOT/root" "$ROOT/dev"
chmod 1777 "$ROOT/tmp"
[ -e "$ROOT/dev/null" ] || mknod -m 666 "$ROOT/dev/null" c 1 3
[ -e "$ROOT/dev/urandom" ] || mknod -m 666 "$ROOT/dev/urandom" c 1 9
cp /usr/bin/qemu-aarch64-static "$ROOT/usr/bin/"
echo "$PACKAGES" >"$STAMP"
echo "$ROOT"
