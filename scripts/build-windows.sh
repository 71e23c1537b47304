#!/usr/bin/env bash
# Cross-compiles ntseclink.dll and the Windows test programs into build/windows
# and packs the release from that DLL into dist/.
# Usage: scripts/build-windows.sh [TARGET...]   (default: every target)
#   WINDOWS_BUILD_DIR and DIST_DIR name another build folder and release folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
"$root/scripts/ensure-packages.sh" "${LINUX_BUILD_PACKAGES[@]}" "${WINDOWS_BUILD_PACKAGES[@]}"
build="${WINDOWS_BUILD_DIR:-$root/build/windows}"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DNTSECLINK_DIST_DIR="${DIST_DIR:-$root/dist}" >/dev/null
cmake --build "$build" -j2 ${1+--target "$@"}
