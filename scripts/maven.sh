#!/usr/bin/env bash
# Runs Maven on the Java side's reactor (java/pom.xml), dating the jars'
# entries with the commit's time (SOURCE_DATE_EPOCH when set), so that two
# builds of one commit give the same bytes. The Linux build's libraries are
# in build/linux unless -Dntseclink.build.dir names another folder.
# Usage: scripts/maven.sh MAVEN_ARGUMENTS...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/packages.sh"
"$root/scripts/ensure-packages.sh" "${JAVA_BUILD_PACKAGES[@]}"
epoch="${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)}"
[[ "$epoch" =~ ^[0-9]+$ ]] || epoch=946684800
cd "$root/java"
# In java/, where the modules outside it are named from (-pl ../tests/java).
exec mvn -Dproject.build.outputTimestamp="$epoch" "$@"
