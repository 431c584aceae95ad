#!/usr/bin/env bash
# The aarch64 build, tested on this x86_64 machine under qemu-aarch64-static
# (no binfmt_misc needed: the emulator is named explicitly, inside a chroot
# into an arm64 Debian 12 root file system). Run as root.
#   1. the library's kernel tests (test_fmss, cross-built): portable and
#      NEON against the oracle, and the kernel choice (the thread and tile
#      suites take many minutes emulated, and stay with the native run);
#   2. the repaired aarch64 wheel, installed with pip into Debian's arm64
#      Python 3.11, running the module's local exactness tests with the
#      portable and with the NEON kernel, the bytes form, the asynchronous
#      call, and solves through the stand-in service, which runs natively
#      on the host and is reached over loopback.
#   bash scripts/test_arm64.sh
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
start=$SECONDS

bash scripts/build_wheel_aarch64.sh dist
bash scripts/apt_install.sh qemu-user-static libgtest-dev:arm64
ROOT=$(bash scripts/arm64_rootfs.sh)

quiet() { # log file, command...
  local log=$1; shift
  if ! "$@" >"$log" 2>&1; then
    cat "$log"; echo "FAILED: $*"; exit 1
  fi
}

echo "== aarch64 kernel tests under qemu (test_fmss)"
quiet build/a64-tests-configure.log \
  cmake -S . -B build/a64-tests -G Ninja -DPEMU_BUILD_MODULE=OFF -DPEMU_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake"
quiet build/a64-tests-build.log cmake --build build/a64-tests -j "$JOBS" --target test_fmss
# The cross compiler's own libstdc++ and the multiarch libcurl.
QEMU_LD_PREFIX=/usr/aarch64-linux-gnu LD_LIBRARY_PATH=/usr/lib/aarch64-linux-gnu \
  qemu-aarch64-static build/a64-tests/test_fmss --gtest_brief=1 \
  --gtest_filter='*Kernels*:KernelChoice*'

# What the emulated Python sees, under /tmp/pemux inside the root.
work=$ROOT/tmp/pemux
rm -rf "$work"
mkdir -p "$work/tests" "$work/service"
cp dist/pemux-*-manylinux_*_aarch64.whl "$work/"
cp -r tests/python tests/arm64 tests/support "$work/tests/"
find "$work/tests" -name __pycache__ -prune -exec rm -rf {} +

# A clean environment: the host's PEMU_* settings stay outside.
CHROOT=$(command -v chroot)
emulated() { # NAME=value..., then the arm64 program and its arguments
  local vars=()
  while [ $# -gt 0 ] && [[ $1 == [A-Z]*=* ]]; do vars+=("$1"); shift; done
  env -i PATH=/usr/bin:/bin HOME=/root USER=root LANG=C.UTF-8 "${vars[@]}" \
    "$CHROOT" "$ROOT" /usr/bin/qemu-aarch64-static "$@"
}
echo "== installing the aarch64 wheel into the emulated Python"
quiet build/arm64-pip.log emulated /usr/bin/python3 -m pip install --no-index --no-deps \
  --force-reinstall --break-system-packages --root-user-action=ignore \
  /tmp/pemux/"$(basename "$work"/pemux-*.whl)"

echo "== stand-in service (native) on loopback"
svc=$work/service
.venv/bin/python tests/service/pemu_service.py --port 0 --cert-dir "$svc/certs" \
  --ready-file "$svc/ready.json" --log "$svc/requests.jsonl" \
  >"$svc/output.txt" 2>&1 </dev/null &
svc_pid=$!
trap 'kill "$svc_pid" 2>/dev/null || true; wait "$svc_pid" 2>/dev/null || true' EXIT
for _ in $(seq 200); do
  [ -f "$svc/ready.json" ] && break
  kill -0 "$svc_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -f "$svc/ready.json" ]; then
  cat "$svc/output.txt"; echo "stand-in service did not start"; exit 1
fi
# Its addresses as the emulated Python sees them (the root's paths).
mapfile -t svc_env < <(.venv/bin/python - "$svc/ready.json" "$ROOT" <<'PY'
import json, os, sys
ready, root = json.load(open(sys.argv[1])), sys.argv[2]
inside = lambda p: "/" + os.path.relpath(p, root)
print("PEMU_ARM64_BASE_URL=" + ready["base_url"])
print("PEMU_ARM64_CA=" + inside(ready["ca"]))
print("PEMU_ARM64_API_KEY=" + ready["api_key"])
print("PEMU_ARM64_LOG=" + inside(os.path.join(os.path.dirname(sys.argv[1]), "requests.jsonl")))
PY
)

PYTEST=(/usr/bin/python3 -m pytest -q -p no:cacheprovider --rootdir=/tmp/pemux/tests)
LOCAL_EXACT="known_results or random_lists or largest_sum or subclass"
T=/tmp/pemux/tests
echo "== emulated: local exactness tests, portable kernel"
emulated PEMU_KERNEL=portable "${PYTEST[@]}" "$T/python/test_local.py" -k "$LOCAL_EXACT"
echo "== emulated: local exactness tests, NEON kernel (the default); bytes form;" \
  "asynchronous call; kernel shapes; remote solves"
emulated "${svc_env[@]}" "${PYTEST[@]}" \
  "$T/python/test_local.py" "$T/python/test_bytes.py" "$T/python/test_async.py" \
  "$T/python/test_kernels.py" "$T/arm64/test_arm64.py" \
  -k "$LOCAL_EXACT or small_results or list_form_locally or delivered_once_on_another \
or both_forms or test_arm64"
echo "== aarch64 checks passed in $((SECONDS - start)) s"
