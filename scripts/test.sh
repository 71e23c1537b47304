#!/usr/bin/env bash
# Builds both libraries and the release and runs every test: the Windows
# DLL's interface check and its test program under Wine on the DLL as the
# release jar carries it, the simulated platform's and the natives' C++
# suites, the Java suite on the real JVM (the release jar's among them), a
# second build of the release that must give the same bytes, and the code
# checks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
"$root/scripts/ensure-packages.sh" "${LINUX_BUILD_PACKAGES[@]}" "${LINUX_TEST_PACKAGES[@]}" "${WINDOWS_BUILD_PACKAGES[@]}" \
  "${WINE_TEST_PACKAGES[@]}"

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

# A second clean build of the DLL and the release, in a folder of its own,
# gives the same bytes; and the release's checksums verify.
release_is_reproducible() {
  local again="$root/build/windows-again"
  rm -rf "$again"
  WINDOWS_BUILD_DIR="$again" DIST_DIR="$again/dist" "$root/scripts/build-windows.sh" release
  if ! diff <(release_hashes "$root/build/windows" "$root/dist") <(release_hashes "$again" "$again/dist"); then
    echo "FAILED: a second build of the release differs (<: build/windows and dist, >: $again)" >&2
    return 1
  fi
  echo "Both builds gave:"
  release_hashes "$again" "$again/dist"
  (cd "$root/dist" && sha256sum -c SHA256SUMS)
}

# The SHA-256 of a build's DLL and of its release files, one "HASH  NAME" a line.
release_hashes() {
  (cd "$1" && sha256sum ntseclink.dll)
  (cd "$2" && sha256sum ./*.jar ./*.pom)
}

version="$(sed -nE 's/^project\(ntseclink VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")"
readonly RELEASE_JAR="$root/dist/ntseclink-$version.jar"

step "Windows build, DLL interface check and release"
"$root/scripts/build-windows.sh"

step "Windows test program under Wine, on the DLL as the release jar carries it"
"$root/tests/windows/run-wine-tests.sh" --dll-from-jar "$RELEASE_JAR" "$root/build/windows"

step "Linux build"
"$root/scripts/build.sh"

step "C++ and Java suites"
# The release was built above: its tests must run, not be skipped.
NTSECLINK_REQUIRE_RELEASE=1 ctest --test-dir "$root/build/linux" --output-on-failure -j2

step "C++ suites under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 sanitized_suites address

step "C++ suites under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1 sanitized_suites thread

step "Release: a second build gives the same bytes, and SHA256SUMS verifies"
release_is_reproducible

step "Code checks"
"$root/scripts/check-code.sh"

step "All tests passed"
