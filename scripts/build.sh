#!/usr/bin/env bash
# Builds the Linux library (against the simulated platform) and the C++
# suites into build/linux with CMake, then the Java side and its suites with
# Maven (java/pom.xml; their outputs in each module's target/).
# Usage: scripts/build.sh [-DCMAKE_ARGUMENT...] [TARGET...]
#   (default: every target and the Java side; CMake targets named: those alone)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Options are for CMake (-D...) only; anything else would reach it as a target.
for argument in "$@"; do
  if [[ "$argument" == -h || "$argument" == --help ]]; then
    sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
  fi
  if [[ "$argument" == -* && "$argument" != -D* ]]; then
    echo "scripts/build.sh: unknown option $argument (--help for the usage)" >&2
    exit 2
  fi
done
source "$root/scripts/packages.sh"
"$root/scripts/ensure-packages.sh" "${LINUX_BUILD_PACKAGES[@]}" "${LINUX_TEST_PACKAGES[@]}"
configure=()
targets=()
for argument in "$@"; do
  if [[ "$argument" == -D* ]]; then configure+=("$argument"); else targets+=("$argument"); fi
done
cmake -S "$root" -B "$root/build/linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${configure[@]}" >/dev/null
cmake --build "$root/build/linux" -j2 ${targets[@]+--target "${targets[@]}"}
((${#targets[@]} > 0)) || "$root/scripts/maven.sh" -q package -DskipTests
