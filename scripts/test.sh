#!/usr/bin/env bash
# Builds both libraries and runs every test: the simulated platform's and the
# natives' C++ suites, the Java suite on the real JVM, the Windows DLL's
# interface check and its test program under Wine, and the code checks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
"$root/scripts/ensure-packages.sh" "${LINUX_BUILD_PACKAGES[@]}" "${LINUX_TEST_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"

step() { printf '\n==== %s\n' "$*"; }

step "Linux build"
"$root/scripts/build.sh"

step "C++ and Java suites"
ctest --test-dir "$root/build/linux" --output-on-failure -j2

step "Windows build and DLL interface check"
"$root/scripts/build-windows.sh"

step "Windows test program under Wine"
"$root/tests/windows/run-wine-tests.sh" "$root/build/windows"

step "Code checks"
"$root/scripts/check-code.sh"

step "All tests passed"
