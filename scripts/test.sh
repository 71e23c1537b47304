#!/usr/bin/env bash
# Builds both libraries and the release and runs every test: the Windows
# DLL's interface check and its test programs under Wine on the DLL as the
# release jar carries it (the release in a Windows JVM among them), the
# simulated platform's and the natives' C++ suites, the Java side's suites
# through Maven on the real JVM (the release jar's cases among them) on
# JDK 17 and on the newest JDK of the machine, a consumer's Maven build
# against the release alone, a second build of the release from a copy of
# the sources that must give the same bytes, and the code checks.
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

# A second clean build of the DLL and the release, from a copy of the
# sources in another folder (the files git tracks or would), with the same
# date, gives the same bytes; and the release's checksums verify.
release_is_reproducible() {
  local again="$root/build/release-again" epoch
  rm -rf "$again"
  mkdir -p "$again"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [[ -e "$file" ]] && printf '%s\0' "$file"; done | xargs -0 cp --parents -t "$again")
  epoch="$(git -C "$root" log -1 --format=%ct)"
  SOURCE_DATE_EPOCH="$epoch" "$again/scripts/build-windows.sh" release
  if ! diff <(release_hashes "$root/build/windows" "$root/dist") <(release_hashes "$again/build/windows" "$again/dist"); then
    echo "FAILED: a second build of the release differs (<: build/windows and dist, >: $again)" >&2
    return 1
  fi
  echo "Both builds gave:"
  release_hashes "$again/build/windows" "$again/dist"
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

step "C++ suites"
ctest --test-dir "$root/build/linux" --output-on-failure -j2

step "Java suites on JDK 17, the release's cases among them"
"$root/tests/java/run-java-tests.sh" --release

step "Java suites on the newest JDK of the machine"
NTSECLINK_TEST_JDK=newest "$root/tests/java/run-java-tests.sh" --release

step "A consumer's Maven build against the release alone"
"$root/tests/consumer/run.sh"

step "C++ suites under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 sanitized_suites address

step "C++ suites under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1 sanitized_suites thread

step "Release: a second build gives the same bytes, and SHA256SUMS verifies"
release_is_reproducible

step "Code checks"
"$root/scripts/check-code.sh"

step "All tests passed"
