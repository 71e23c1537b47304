#!/usr/bin/env bash
# Cross-compiles ntseclink.dll and the Windows test programs into build/windows,
# and has Maven pack the release from that DLL into dist/: the published
# modules' jars, -sources and -javadoc jars and POMs, and SHA256SUMS.
# Usage: scripts/build-windows.sh [release | TARGET...]
#   no argument   every CMake target, the Windows JVM suite and the release
#   release       the DLL (checked) and the release alone
#   TARGET...     those CMake targets alone
#   WINDOWS_BUILD_DIR and DIST_DIR name another build folder and release folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
"$root/scripts/ensure-packages.sh" "${LINUX_BUILD_PACKAGES[@]}" "${WINDOWS_BUILD_PACKAGES[@]}"
build="${WINDOWS_BUILD_DIR:-$root/build/windows}"
dist="${DIST_DIR:-$root/dist}"

# The modules that are published: a file named "published" beside their POM.
published_modules() {
  (cd "$root/java" && find . -mindepth 2 -maxdepth 2 -name published -printf '%h\n' | sed 's|^\./||' | sort | paste -sd ,)
}

# The DLL's version resource takes the CMake project's version, the jars
# Maven's: the release is refused when the two differ.
same_version_in_cmake_and_maven() {
  local cmake maven
  cmake="$(sed -nE 's/^project\(ntseclink VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")"
  maven="$(sed -n '0,/<artifactId>ntseclink-parent<\/artifactId>/d; s|^  <version>\(.*\)</version>$|\1|p' "$root/java/pom.xml" | head -n 1)"
  [[ -n "$cmake" && "$cmake" == "$maven" ]] && return 0
  echo "The version of CMakeLists.txt ($cmake) and of java/pom.xml (${maven:-none found}) differ: change both" >&2
  return 1
}

# pack_release [MODULE...]: Maven builds the published modules (and the
# modules named) with the DLL, deploys the published ones to a folder, and
# the release is copied from there.
pack_release() {
  local staging="$build/release-repository" modules
  same_version_in_cmake_and_maven
  modules="$(published_modules)"
  for module in "$@"; do modules+=",$module"; done
  rm -rf "$staging"
  "$root/scripts/maven.sh" -q clean deploy -DskipTests -pl "$modules" -am -Dntseclink.native.dir="$build/native-tree" \
    -DaltDeploymentRepository="release::file://$staging"
  mkdir -p "$dist"
  rm -f "$dist"/ntseclink-*.jar "$dist"/ntseclink-*.pom "$dist/SHA256SUMS"
  find "$staging/com/corvane/zel" \( -name '*.jar' -o -name '*.pom' \) -exec cp {} "$dist" \;
  (cd "$dist" && find . -maxdepth 1 \( -name '*.jar' -o -name '*.pom' \) -printf '%P\n' | LC_ALL=C sort |
    xargs sha256sum >SHA256SUMS)
}

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
case "${1:-}" in
  "")
    cmake --build "$build" -j2
    # The Windows JVM suite is built with the release, against the same classes.
    pack_release ../tests/windows-jvm
    ;;
  release)
    cmake --build "$build" -j2 --target native_tree
    pack_release
    ;;
  *) cmake --build "$build" -j2 --target "$@" ;;
esac
