#!/usr/bin/env bash
# Builds the Linux library (against the simulated platform), the jar and the
# tests into build/linux. Usage: scripts/build.sh [extra cmake arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
"$root/scripts/ensure-packages.sh" "${LINUX_BUILD_PACKAGES[@]}" "${LINUX_TEST_PACKAGES[@]}"
cmake -S "$root" -B "$root/build/linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$root/build/linux" -j2
