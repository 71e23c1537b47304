#!/usr/bin/env bash
# The main job: builds the library, the jar and the walk-through, and runs the
# walk-through on the simulated Windows machine's default profile, with the
# library loaded from the jar alone. Its report is described in demo/REPORT.md.
#
# Usage: run-main.sh [WALKTHROUGH_OPTIONS...]
#        run-main.sh --kerberos-under-wine
#   The second form cross-compiles the Windows DLL and runs the report's
#   Kerberos part with it under Wine, against a Kerberos realm of its own on
#   loopback (the Wine test program's), in a Wine prefix of its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

run_on_winsim() {
  "$root/scripts/build.sh"
  local build="$root/build/linux"
  java -Xcheck:jni -cp "$build/java/ntseclink.jar:$build/demo/ntseclink-demo.jar" \
    com.corvane.zel.ntseclink.demo.Walkthrough "$@"
}

run_kerberos_under_wine() {
  "$root/scripts/ensure-packages.sh" krb5-kdc krb5-admin-server krb5-user
  "$root/scripts/build-windows.sh"
  local build="$root/build/windows"
  # Global: the exit trap runs after this function has returned.
  wine="${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}"
  wineserver="${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}"
  # shellcheck source=../tests/windows/kerberos-realm.sh
  source "$root/tests/windows/kerberos-realm.sh"

  work_dir="$(mktemp -d "${TMPDIR:-/tmp}/ntseclink-walkthrough.XXXXXX")"
  export WINEPREFIX="$work_dir/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
  # shellcheck disable=SC2317  # run by the trap
  cleanup() {
    realm_stop
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
    rm -rf "$work_dir"
  }
  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  if ! "$wine" wineboot --init >"$work_dir/wineboot.log" 2>&1; then
    echo "cannot create a Wine prefix:" >&2
    cat "$work_dir/wineboot.log" >&2
    exit 2
  fi
  realm_start "$work_dir/realm"
  "$wine" "$build/ntseclink_walkthrough.exe"
}

if [[ "${1:-}" == "--kerberos-under-wine" ]]; then
  run_kerberos_under_wine
else
  run_on_winsim "$@"
fi
