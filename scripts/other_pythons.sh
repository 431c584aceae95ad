#!/usr/bin/env bash
# Prints the interpreters of the supported CPythons besides .venv's (3.11):
# pyenv's 3.12 and 3.13, newest patch release of each, where installed.
set -euo pipefail
root=${PYENV_ROOT:-/root/.pyenv}
for minor in 3.12 3.13; do
  found=$(ls -d "$root"/versions/"$minor".* 2>/dev/null | sort -V | tail -1 || true)
  if [ -n "$found" ] && [ -x "$found/bin/python3" ]; then
    echo "$found/bin/python3"
  else
    echo "warning: no Python $minor under $root/versions" >&2
  fi
done
