#!/usr/bin/env bash
# Runs the Windows test program under Wine, in a Wine prefix of its own, with
# a Kerberos realm of its own on loopback; both are removed afterwards and the
# KDC and the Wine server stopped, whatever the result. Builds nothing.
#
# Usage: run-wine-tests.sh [--dll-from-jar JAR] BUILD_DIR [PROGRAM_ARGS...]
#   BUILD_DIR holds ntseclink_wintests.exe and ntseclink.dll (the Windows
#   build directory). The exit code is the program's: 0 when every case passed.
#   --dll-from-jar runs the test program on the DLL as extracted from that
#   jar (the release) instead of the one beside it.
#   WINE_PROGRAM names another program of BUILD_DIR to run in the same
#   setting (the walk-through's Kerberos part does).
set -euo pipefail

usage() {
  echo "usage: $0 [--dll-from-jar JAR] BUILD_DIR [PROGRAM_ARGS...]" >&2
  exit 2
}

dll_jar=""
if [[ "${1:-}" == "--dll-from-jar" ]]; then
  (($# >= 2)) && [[ -f "$2" ]] || usage
  dll_jar="$(realpath "$2")"
  shift 2
fi
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
# The DLL as the release jar carries it, given to the program by its path on
# Wine's drive Z: (the Linux root).
program_args=("$@")
if [[ -n "$dll_jar" ]]; then
  readonly JAR_DLL=native/windows-x86_64/ntseclink.dll
  mkdir "$WORK_DIR/release"
  (cd "$WORK_DIR/release" && jar --extract --file "$dll_jar" "$JAR_DLL")
  [[ -f "$WORK_DIR/release/$JAR_DLL" ]] || { echo "$dll_jar carries no $JAR_DLL" >&2; exit 2; }
  echo "Testing the DLL extracted from $dll_jar, SHA-256 $(sha256sum "$WORK_DIR/release/$JAR_DLL" | cut -d ' ' -f 1)"
  windows_path="Z:$WORK_DIR/release/$JAR_DLL"
  program_args=("${windows_path//\//\\}" "$@")
fi

# Wine names the computer after the Linux host.
WINTESTS_LINUX_HOST_NAME="$(uname -n)"
export WINTESTS_LINUX_HOST_NAME

# In the background, so that an interruption cleans up at once rather than
# after the program.
status=0
"$WINE" "$PROGRAM" "${program_args[@]}" &
wait "$!" || status=$?
exit "$status"
