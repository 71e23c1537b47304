#!/usr/bin/env bash
# The main job: builds what the sign-on doctor needs (the library on the
# simulated Windows platform in build/main, without the test suites; the
# Windows DLL and the release into dist/), then runs the doctor from the
# release jar on the simulated Windows machine's default profile, opting in
# with -Dntseclink.library.path. Build output goes to build/main.log, shown
# only when a stage fails, so that the report stands alone.
#
# Usage: run-main.sh [DOCTOR_OPTIONS...]
#   Without options the doctor checks CORVANE\alice and two groups; any
#   options replace those (see `java -jar dist/ntseclink-VERSION.jar --help`).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
readonly BUILD="$root/build/main"
readonly LOG="$root/build/main.log"
readonly DEFAULT_OPTIONS=(--user 'CORVANE\alice' --group 'BUILTIN\Administrators' --group 'CORVANE\Engineering')

# stage TITLE COMMAND...: one line on the screen, the command's output in the log.
stage() {
  local title=$1
  shift
  printf '%s ... ' "$title"
  local started=$SECONDS
  if ! "$@" >>"$LOG" 2>&1; then
    echo "FAILED"
    echo "---- the last lines of $LOG:" >&2
    tail -n 60 "$LOG" >&2
    exit 1
  fi
  echo "done ($((SECONDS - started)) s)"
}

build_simulated_library() {
  # No debug information: the doctor does not need it, and it costs a fifth of the build.
  cmake -S "$root" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DNTSECLINK_TESTS=OFF
  cmake --build "$BUILD" -j2 --target ntseclink
}

mkdir -p "$root/build"
: >"$LOG"
stage "Packages" "$root/scripts/ensure-packages.sh" "${LINUX_BUILD_PACKAGES[@]}" "${WINDOWS_BUILD_PACKAGES[@]}"
stage "The library on the simulated Windows platform (build/main)" build_simulated_library
stage "The Windows DLL and the release (build/windows, dist/)" "$root/scripts/build-windows.sh" release
echo

version="$(sed -nE 's/^project\(ntseclink VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")"
options=("$@")
((${#options[@]} > 0)) || options=("${DEFAULT_OPTIONS[@]}")
exec java -Xcheck:jni -Dntseclink.library.path="$BUILD/libntseclink.so" \
  -jar "$root/dist/ntseclink-$version.jar" doctor "${options[@]}"
