#!/usr/bin/env bash
# Builds zelkit and runs all its tests.
#   scripts/test.sh            native 64-bit build (zelp4x64); then the API reference
#                              (doxygen) and an outside project built against an installation
#   scripts/test.sh sanitize   the tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   scripts/test.sh m32        the 32-bit build (zelp4), and an outside 32-bit project against it
#   scripts/test.sh tsan       the tests under ThreadSanitizer
#   scripts/test.sh fuzz       the libFuzzer targets, each run for a bounded time (clang)
set -euo pipefail
cd "$(dirname "$0")/.."

kind=${1:-native}
jobs=$(nproc)
scripts/ensure-packages.sh "$kind"

options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELKIT_WERROR=ON)
case "$kind" in
  native) ;;
  sanitize) options+=(-DZELKIT_SANITIZE=ON) ;;
  m32)
    options+=(-DZELKIT_M32=ON)
    # A kernel without 32-bit support runs the test programs under qemu.
    probe=$(mktemp -d)
    echo 'int main(void) { return 0; }' >"$probe/probe.c"
    if gcc -m32 "$probe/probe.c" -o "$probe/probe" && ! "$probe/probe" 2>/dev/null; then
      options+=(-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386)
      export RUNNER=qemu-i386
    fi
    rm -rf "$probe"
    ;;
  tsan) options+=(-DZELKIT_TSAN=ON) ;;
  fuzz) options+=(-DZELKIT_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac

build=build/$kind
cmake -S . -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null

if [ "$kind" = fuzz ]; then
  exec scripts/run-fuzzers.sh "$build" "${ZELKIT_FUZZ_SECONDS:-30}"
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
echo "== $kind: running tests"
log=$build/ctest.log
# On a loaded machine (ThreadSanitizer, every test at once) a test that
# streams through small socket buffers, churns connections or waits for an
# outside program may miss a wait. It runs up to twice more, and only a
# third failure fails the build.
if ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 300 --repeat until-pass:3 >"$log" 2>&1; then
  grep -E 'tests passed|Total Test time' "$log"
else
  cat "$log"
  echo "== $kind: FAILED (log: $log)"
  exit 1
fi

case "$kind" in
  native)
    scripts/check-docs.sh "$build/docs"
    scripts/check-install.sh "$build" zelp4x64
    ;;
  m32) scripts/check-install.sh "$build" zelp4 -m32 ;;
esac
