#!/usr/bin/env bash
# Runs the Windows test program under Wine, in a Wine prefix of its own that
# is removed afterwards. Builds nothing.
#
# Usage: run-wine-tests.sh BUILD_DIR [PROGRAM_ARGS...]
#   BUILD_DIR holds ntseclink_wintests.exe and ntseclink.dll (the Windows
#   build directory). The exit code is the program's: 0 when every case passed.
set -euo pipefail

usage() {
  echo "usage: $0 BUILD_DIR [PROGRAM_ARGS...]" >&2
  exit 2
}

(($# >= 1)) || usage
readonly BUILD_DIR="$(cd "$1" && pwd)"
shift
readonly PROGRAM="$BUILD_DIR/ntseclink_wintests.exe"
readonly WINE="${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}"
readonly WINESERVER="${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}"

for file in "$PROGRAM" "$BUILD_DIR/ntseclink.dll"; do
  [[ -f "$file" ]] || { echo "missing $file: build the Windows test program first" >&2; exit 2; }
done

WORK_DIR="$(mktemp -d "${TMPDIR:-/tmp}/ntseclink-wine.XXXXXX")"
readonly WORK_DIR
export WINEPREFIX="$WORK_DIR/prefix"
export WINEDEBUG=-all
# No display: the prefix is made without the desktop integration that would ask for one.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="

cleanup() {
  "$WINESERVER" -k 2>/dev/null || true
  "$WINESERVER" -w 2>/dev/null || true
  rm -rf "$WORK_DIR"
}
trap cleanup EXIT

# The prefix is made first, so that Wine's messages about it stay out of the
# program's output, and a broken Wine shows as such.
if ! "$WINE" wineboot --init >"$WORK_DIR/wineboot.log" 2>&1; then
  echo "cannot create a Wine prefix:" >&2
  cat "$WORK_DIR/wineboot.log" >&2
  exit 2
fi

# Each later environment (a Kerberos realm, say) sets itself up here, under
# WORK_DIR, and exports what the program needs before it runs.

status=0
"$WINE" "$PROGRAM" "$@" || status=$?
exit "$status"
