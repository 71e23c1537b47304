#!/usr/bin/env bash
# The main job: builds the library on the simulated Windows platform, the
# Java classes and the walk-through, cross-compiles the Windows DLL and packs
# the release into dist/, then runs the walk-through on the simulated Windows
# machine's default profile, the Linux library named explicitly with
# -Dntseclink.library.path. Its report is described in demo/REPORT.md.
#
# Usage: run-main.sh [WALKTHROUGH_OPTIONS...]
#        run-main.sh --kerberos-under-wine
#   The second form cross-compiles the Windows DLL and runs the report's
#   Kerberos part with it under Wine, against a Kerberos realm of its own on
#   loopback (the Wine test program's), in a Wine prefix of its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"

run_on_winsim() {
  "$root/scripts/build.sh" ntseclink winsim ntseclink_classes ntseclink_demo
  "$root/scripts/build-windows.sh" release
  local build="$root/build/linux"
  java -Xcheck:jni -Dntseclink.library.path="$build/libntseclink.so" \
    -cp "$build/java/ntseclink-classes.jar:$build/demo/ntseclink-demo.jar" \
    com.corvane.zel.ntseclink.demo.Walkthrough "$@"
}

# The Wine test program's setting: a fresh prefix and a realm of its own.
run_kerberos_under_wine() {
  "$root/scripts/ensure-packages.sh" "${WINE_TEST_PACKAGES[@]}"
  "$root/scripts/build-windows.sh" ntseclink_walkthrough
  WINE_PROGRAM=ntseclink_walkthrough.exe "$root/tests/windows/run-wine-tests.sh" "$root/build/windows"
}

if [[ "${1:-}" == "--kerberos-under-wine" ]]; then
  run_kerberos_under_wine
else
  run_on_winsim "$@"
fi
