#!/usr/bin/env bash
# The long run of the model-based random test: a million native calls or
# more against the library on the simulated platform, each compared with the
# reference model. A failure prints the seed and the failing call; the same
# command with that seed reproduces it.
#
# Usage: scripts/random-test.sh [--seed S] [--calls N]   (defaults: seed 1, 1000000 calls)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
"$root/scripts/ensure-packages.sh" "${LINUX_BUILD_PACKAGES[@]}" "${LINUX_TEST_PACKAGES[@]}"
cmake -S "$root" -B "$root/build/linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/linux" -j2 --target random_test
"$root/build/linux/tests/random_test" "$@"
