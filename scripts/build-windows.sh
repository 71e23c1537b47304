#!/usr/bin/env bash
# Cross-compiles ntseclink.dll and the Windows test program into build/windows.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
"$root/scripts/ensure-packages.sh" "${LINUX_BUILD_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
cmake -S "$root" -B "$root/build/windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build/windows" -j2
