#!/usr/bin/env bash
# Builds the sdist, then from that sdist (so a file missing from the sdist
# fails here) one wheel per supported CPython (.venv's 3.11, and pyenv's 3.12
# and 3.13 where installed), and repairs each into a manylinux one that
# carries libcurl and the libraries it needs.
#   bash scripts/build_wheel.sh [OUTDIR]     # default dist/
set -euo pipefail
source "$(dirname "$0")/wheel_setup.sh"
wheel_tools

wheel_scratch
rm -f "$OUT"/pemux-*.whl "$OUT"/pemux-*.tar.gz
echo "== sdist, and a wheel built from it for $("$PY" -V)"
if ! "$PY" -m build --outdir "$raw" . >"$log" 2>&1; then
  cat "$log"; echo "build failed"; exit 1
fi
sdist=$(ls "$raw"/pemux-*.tar.gz)
for py in $(bash scripts/other_pythons.sh); do
  v=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  echo "== wheel from the sdist for Python $v"
  venv=build/venv-wheel-$v
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  if ! { "$venv/bin/python" -m pip install -q "build>=1.0" &&
         "$venv/bin/python" -m build --wheel --outdir "$raw" "$sdist"; } >>"$log" 2>&1; then
    cat "$log"; echo "build for Python $v failed"; exit 1
  fi
done
echo "== auditwheel repair"
for whl in "$raw"/pemux-*.whl; do
  if ! "$PY" -m auditwheel repair --wheel-dir "$OUT" "$whl" >>"$log" 2>&1; then
    cat "$log"; echo "auditwheel repair of $whl failed"; exit 1
  fi
done
mv "$sdist" "$OUT"/
ls -l "$OUT"/pemux-*
