#!/usr/bin/env bash
# Checks the code's style without changing it: clang-format (the version of
# the installed clang, from Debian) over the C and C++ sources, ruff over the
# Python ones. Exits non-zero on any finding. To apply the C and C++ style
# instead: clang-format-$v -i FILE.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install.sh --deps
bash scripts/apt_install.sh clang
# Another version may format differently from the one the style was set with.
v=$(clang -dumpversion | cut -d. -f1)
fmt=clang-format-$v
bash scripts/apt_install.sh "$fmt"
if [ ! -x .venv/bin/ruff ]; then
  .venv/bin/python -m pip install -q -r requirements-dev.txt
fi

status=0
echo "== $fmt"
mapfile -t sources < <(git ls-files -co --exclude-standard -- \
  'c_library/*.cpp' 'c_library/*.h' 'python_library/*.cpp' \
  'tests/cpp/*.cpp' 'tests/cpp/*.h' 'tests/python/*.c' 'fuzz/*.cpp')
"$fmt" --dry-run --Werror "${sources[@]}" || status=1
echo "== ruff"
.venv/bin/ruff check tests bench service || status=1
exit $status
