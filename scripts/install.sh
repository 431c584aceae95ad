#!/usr/bin/env bash
# Installs what building and running pemux needs on a Debian machine (run as
# root), builds the module into .venv and runs an example solve in-process.
#   bash scripts/install.sh            # all of it
#   bash scripts/install.sh --deps     # system packages and .venv only
set -euo pipefail
cd "$(dirname "$0")/.."

# A source build: a C++20 compiler, CMake, and the libcurl and zlib headers.
bash scripts/apt_install.sh \
  g++ make cmake ninja-build pkg-config \
  python3 python3-dev python3-venv \
  libcurl4-openssl-dev zlib1g-dev ca-certificates

if [ ! -x .venv/bin/python ]; then
  echo "== creating .venv"
  python3 -m venv .venv
fi

[ "${1:-}" = "--deps" ] && exit 0

echo "== building and installing pemux into .venv"
.venv/bin/python -m pip install -q .

echo "== example solve (in-process): subset sums of [3, 5, 7, 11]"
PEMU_KILLSWITCH=1 .venv/bin/python - <<'PY'
import pemux
words = pemux.complete_subset_sum([3, 5, 7, 11])
sums = [s for s in range(64 * len(words)) if pemux.subset_sum_result_check(words, s)]
print("pemux", pemux.__version__)
print("result words:", words)
print("reachable sums:", sums)
PY
