#!/usr/bin/env bash
# Runs every test of the project: the library's unit tests (plain, with
# AddressSanitizer+UndefinedBehaviorSanitizer, and the worker under
# ThreadSanitizer), the fuzzers for a bounded time, the Python suite, the
# typed-program checks and the repaired wheel in a fresh environment.
#   bash scripts/run_tests.sh           # all of it
#   bash scripts/run_tests.sh --quick   # style check, plain C++ tests and pytest only
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
QUICK=0
[ "${1:-}" = "--quick" ] && QUICK=1

bash scripts/install.sh --deps
echo "== building and installing pemux into .venv"
.venv/bin/python -m pip install -q ".[service]"

echo "== packages the tests need"
bash scripts/apt_install.sh clang libgtest-dev valgrind curl util-linux
# An HTTP/2 front end for the remote client's key-masking tests.
bash scripts/apt_install.sh nginx
# The scale-out tests start a broker of their own.
bash scripts/apt_install.sh redis-server
# systemd-analyze checks the service's units.
bash scripts/apt_install.sh systemd
# Sanitizer and fuzzer runtimes of the clang that is installed, whatever its version.
bash scripts/apt_install.sh "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
.venv/bin/python -m pip install -q -r requirements-dev.txt

echo "== style: clang-format and ruff"
bash scripts/lint.sh

mkdir -p build
# Runs a command with its output in a log, shown only when the command fails.
quiet() { # log file, command...
  local log=$1; shift
  if ! "$@" >"$log" 2>&1; then
    cat "$log"; echo "FAILED: $*"; exit 1
  fi
}

configure_and_test() { # build dir name, test name regex, extra cmake args...
  local dir=build/$1 only=$2; shift 2
  echo "== C++ tests: $dir"
  quiet "build/$1-configure.log" \
    cmake -S . -B "$dir" -G Ninja -DPEMU_BUILD_MODULE=OFF -DPEMU_BUILD_TESTS=ON "$@"
  quiet "build/$1-build.log" cmake --build "$dir" -j "$JOBS"
  (cd "$dir" && ctest --output-on-failure -R "$only")
}

configure_and_test tests-plain . -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "$QUICK" = 1 ]; then
  echo "== Python tests"
  exec .venv/bin/python -m pytest -q tests/python
fi
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  configure_and_test tests-asan . -DCMAKE_BUILD_TYPE=Debug -DPEMU_SANITIZE=address,undefined
# The asynchronous worker and the local solver run threads of their own.
TSAN_OPTIONS=halt_on_error=1 \
  configure_and_test tests-tsan '^(front|fmss_threads)$' -DCMAKE_BUILD_TYPE=Debug -DPEMU_SANITIZE=thread

echo "== fuzzers"
CC=clang CXX=clang++ quiet build/fuzz-configure.log \
  cmake -S . -B build/fuzz -G Ninja -DPEMU_BUILD_MODULE=OFF \
  -DPEMU_FUZZ=ON -DPEMU_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
quiet build/fuzz-build.log cmake --build build/fuzz -j "$JOBS"
bash fuzz/run_fuzzers.sh build/fuzz "${FUZZ_SECONDS:-30}"

echo "== leak check: asynchronous requests under valgrind"
for mode in local remote; do
  log=build/valgrind-$mode.txt
  if ! PYTHONMALLOC=malloc timeout 300 valgrind -q --log-file="$log" \
      --undef-value-errors=no --leak-check=full --show-leak-kinds=definite \
      --errors-for-leak-kinds=definite --error-exitcode=99 \
      .venv/bin/python tests/python/helpers/async_leak.py 200 "$mode" >/dev/null 2>&1; then
    echo "leak check ($mode) failed:"; cat "$log"; exit 1
  fi
done

echo "== Python tests"
.venv/bin/python -m pytest -q tests/python

# The module on the other CPythons it supports, each in a venv of its own:
# its own tests (the service's run above, on 3.11).
MODULE_TESTS="tests/python/test_local.py tests/python/test_bytes.py tests/python/test_async.py
  tests/python/test_inputs.py tests/python/test_progress.py tests/python/test_kernels.py
  tests/python/test_subset.py"
for py in $(bash scripts/other_pythons.sh); do
  v=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  echo "== Python $v: the module's tests"
  [ -x "build/venv-$v/bin/python" ] || "$py" -m venv "build/venv-$v"
  # The service too: the stand-in that the remote tests talk to is its front end.
  quiet "build/venv-$v-install.log" "build/venv-$v/bin/python" -m pip install -q ".[service]" \
    "pytest>=7" "numpy>=1.26" "trustme>=1.0"
  # shellcheck disable=SC2086
  "build/venv-$v/bin/python" -m pytest -q $MODULE_TESTS
done

echo "== typed-program checks: mypy --strict and pyright on the installed stubs"
.venv/bin/python -m pytest -q tests/typing

echo "== wheel: sdist, wheel from it, auditwheel repair, fresh environment without the system's libcurl"
bash scripts/build_wheel.sh
.venv/bin/python -m pytest -q tests/wheel

echo "== aarch64: cross-built wheel and NEON kernel under qemu-aarch64-static"
bash scripts/test_arm64.sh
