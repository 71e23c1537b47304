#!/usr/bin/env bash
# Runs the Windows test program under Wine, in a Wine prefix of its own, with
# a Kerberos realm of its own on loopback; both are removed afterwards and the
# KDC and the Wine server stopped, whatever the result. Builds nothing.
#
# Usage: run-wine-tests.sh BUILD_DIR [PROGRAM_ARGS...]
#   BUILD_DIR holds ntseclink_wintests.exe and ntseclink.dll (the Windows
#   build directory). The exit code is the program's: 0 when every case passed.
#   WINE_PROGRAM names another program of BUILD_DIR to run in the same
#   setting (the walk-through's Kerberos part does).
set -euo pipefail

usage() {
  echo "usage: $0 BUILD_DIR [PROGRAM_ARGS...]" >&2
  exit 2
}

(($# >= 1)) || usage
BUILD_DIR="$(cd "$1" && pwd)"
readonly BUILD_DIR
shift
readonly PROGRAM="$BUILD_DIR/${WINE_PROGRAM:-ntseclink_wintests.exe}"
readonly WINE="${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}"
readonly WINESERVER="${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}"
# shellcheck source=kerberos-realm.sh
source "$(dirname "${BASH_SOURCE[0]}")/kerberos-realm.sh"

for file in "$PROGRAM" "$BUILD_DIR/ntseclink.dll"; do
  [[ -f "$file" ]] || { echo "missing $file: build the Windows test program first" >&2; exit 2; }
done

WORK_DIR="$(mktemp -d "${TMPDIR:-/tmp}/ntseclink-wine.XXXXXX")"
readonly WORK_DIR
export WINEPREFIX="$WORK_DIR/prefix"
export WINEDEBUG=-all
# No display: the prefix is made without the desktop integration that would ask for one.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="

# shellcheck disable=SC2317  # run by the trap
cleanup() {
  realm_stop
  "$WINESERVER" -k 2>/dev/null || true
  "$WINESERVER" -w 2>/dev/null || true
  rm -rf "$WORK_DIR"
}
trap cleanup EXIT
# An interrupted run cleans up too.
trap 'exit 130' INT
trap 'exit 143' TERM

# The prefix is made first, so that Wine's messages about it stay out of the
# program's output, and a broken Wine shows as such.
if ! "$WINE" wineboot --init >"$WORK_DIR/wineboot.log" 2>&1; then
  echo "cannot create a Wine prefix:" >&2
  cat "$WORK_DIR/wineboot.log" >&2
  exit 2
fi

# Wine's Kerberos package reaches the realm through the system's Kerberos
# library, which reads the environment this exports.
realm_start "$WORK_DIR/realm"
# Wine names the computer after the Linux host.
WINTESTS_LINUX_HOST_NAME="$(uname -n)"
export WINTESTS_LINUX_HOST_NAME

# In the background, so that an interruption cleans up at once rather than
# after the program.
status=0
"$WINE" "$PROGRAM" "$@" &
wait "$!" || status=$?
exit "$status"
