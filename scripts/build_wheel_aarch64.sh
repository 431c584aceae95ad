#!/usr/bin/env bash
# Cross-builds the module for aarch64 Linux on this x86_64 Debian machine
# and repairs the wheel into a manylinux aarch64 one that carries libcurl
# and the libraries it needs, as scripts/build_wheel.sh does for x86_64.
# Debian's packages only: the cross compiler, and the arm64 libcurl, zlib
# and Python 3.11 development packages through dpkg multiarch. Run as root.
#   bash scripts/build_wheel_aarch64.sh [OUTDIR]     # default dist/
#
# The same build backend as the native wheel, told three things:
#   CMAKE_TOOLCHAIN_FILE  cmake/aarch64-linux-gnu.cmake (compiler, libraries)
#   SETUPTOOLS_EXT_SUFFIX the arm64 module suffix (CMakeLists.txt uses it
#                         when cross-compiling)
#   _PYTHON_HOST_PLATFORM the wheel's platform tag, linux_aarch64
# The host's Python 3.11 headers serve: Debian's pyconfig.h picks the arm64
# one of libpython3.11-dev:arm64 for an aarch64 compiler.
set -euo pipefail
source "$(dirname "$0")/wheel_setup.sh"
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "== dpkg --add-architecture arm64"
  dpkg --add-architecture arm64
  apt-get update -qq
fi
bash scripts/apt_install.sh g++-aarch64-linux-gnu \
  libcurl4-openssl-dev:arm64 zlib1g-dev:arm64 libpython3.11-dev:arm64
wheel_tools

pyver=$("$PY" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")')
if [ "$pyver" != 311 ]; then
  echo "the cross build needs the host's Python 3.11 (Debian's), found $pyver"; exit 1
fi

wheel_scratch
rm -f "$OUT"/pemux-*aarch64*.whl
echo "== aarch64 wheel (cross-built)"
if ! SETUPTOOLS_EXT_SUFFIX=.cpython-311-aarch64-linux-gnu.so \
    _PYTHON_HOST_PLATFORM=linux-aarch64 \
    "$PY" -m build --wheel --outdir "$raw" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
    -C build-dir=build/aarch64-wheel . >"$log" 2>&1; then
  cat "$log"; echo "aarch64 build failed"; exit 1
fi
echo "== auditwheel repair (aarch64)"
# auditwheel finds the arm64 libraries through ld.so.conf, where multiarch
# listed /usr/lib/aarch64-linux-gnu, and picks the policy by the wheel's arch.
if ! "$PY" -m auditwheel repair --wheel-dir "$OUT" "$raw"/pemux-*.whl >>"$log" 2>&1; then
  cat "$log"; echo "auditwheel repair failed"; exit 1
fi
ls -l "$OUT"/pemux-*aarch64*.whl
