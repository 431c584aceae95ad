#!/usr/bin/env bash
# Installs everything pemux needs on a Debian machine (run as root), builds
# the module into .venv and runs an example solve.
#   bash scripts/install.sh            # all of it
#   bash scripts/install.sh --deps     # system and Python packages only
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(
  g++ make cmake ninja-build pkg-config
  python3 python3-dev python3-venv
  libcurl4-openssl-dev zlib1g-dev ca-certificates curl
  libgtest-dev clang libclang-rt-14-dev valgrind
)

missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== apt-get install ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ ! -x .venv/bin/python ]; then
  echo "== creating .venv"
  python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q -r requirements-dev.txt

[ "${1:-}" = "--deps" ] && exit 0

echo "== building and installing pemux into .venv"
.venv/bin/python -m pip install -q .

echo "== example solve (local): subset sums of [3, 5, 7, 11]"
PEMU_KILLSWITCH=1 .venv/bin/python - <<'PY'
import pemux
words = pemux.complete_subset_sum([3, 5, 7, 11])
sums = [s for s in range(64 * len(words)) if pemux.subset_sum_result_check(words, s)]
print("result words:", words)
print("reachable sums:", sums)
PY
