#!/usr/bin/env bash
# Builds both libraries and runs every test: the simulated platform's and the
# natives' C++ suites, the Java suite on the real JVM, the Windows DLL's
# interface check and its test program under Wine, and the code checks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
"$root/scripts/ensure-packages.sh" "${LINUX_BUILD_PACKAGES[@]}" "${LINUX_TEST_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"

step() { printf '\n==== %s\n' "$*"; }

# Builds the library, the simulated platform and the C++ suites with a
# sanitizer into build/linux-<kind> and runs the suites; any report fails.
# Unoptimised: the build is what takes time, and the checks stay as strict.
sanitized_suites() {
  local kind=$1 build="$root/build/linux-$1"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DNTSECLINK_SANITIZER="$kind" >/dev/null
  cmake --build "$build" -j2 --target winsim_tests native_tests
  "$build/tests/winsim_tests" --gtest_brief=1
  "$build/tests/native_tests" --gtest_brief=1
}

step "Linux build"
"$root/scripts/build.sh"

step "C++ and Java suites"
ctest --test-dir "$root/build/linux" --output-on-failure -j2

step "C++ suites under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 sanitized_suites address

step "C++ suites under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1 sanitized_suites thread

step "Windows build and DLL interface check"
"$root/scripts/build-windows.sh"

step "Windows test program under Wine"
"$root/tests/windows/run-wine-tests.sh" "$root/build/windows"

step "Code checks"
"$root/scripts/check-code.sh"

step "All tests passed"
