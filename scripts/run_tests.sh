#!/usr/bin/env bash
# Runs every test of the project: the library's unit tests (plain, with
# AddressSanitizer+UndefinedBehaviorSanitizer, and the worker under
# ThreadSanitizer), the fuzzers for a bounded time, and the Python suite.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}

bash scripts/install.sh --deps
echo "== building and installing pemux into .venv"
.venv/bin/python -m pip install -q .

configure_and_test() { # build dir name, test name regex, extra cmake args...
  local dir=build/$1 only=$2; shift 2
  echo "== C++ tests: $dir"
  cmake -S . -B "$dir" -G Ninja -DPEMU_BUILD_MODULE=OFF -DPEMU_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS" >/dev/null
  (cd "$dir" && ctest --output-on-failure -R "$only")
}

configure_and_test tests-plain . -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  configure_and_test tests-asan . -DCMAKE_BUILD_TYPE=Debug -DPEMU_SANITIZE=address,undefined
# The asynchronous worker and the local solver run threads of their own.
TSAN_OPTIONS=halt_on_error=1 \
  configure_and_test tests-tsan '^(front|fmss_threads)$' -DCMAKE_BUILD_TYPE=Debug -DPEMU_SANITIZE=thread

echo "== fuzzers"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DPEMU_BUILD_MODULE=OFF \
  -DPEMU_FUZZ=ON -DPEMU_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/fuzz -j "$JOBS" >/dev/null
bash fuzz/run_fuzzers.sh build/fuzz "${FUZZ_SECONDS:-30}"

echo "== leak check: asynchronous requests under valgrind"
for mode in local remote; do
  log=build/valgrind-$mode.txt
  if ! PYTHONMALLOC=malloc timeout 300 valgrind -q --log-file="$log" \
      --undef-value-errors=no --leak-check=full --show-leak-kinds=definite \
      --errors-for-leak-kinds=definite --error-exitcode=99 \
      .venv/bin/python tests/python/async_leak.py 200 "$mode" >/dev/null 2>&1; then
    echo "leak check ($mode) failed:"; cat "$log"; exit 1
  fi
done

echo "== Python tests"
.venv/bin/python -m pytest -q tests/python
