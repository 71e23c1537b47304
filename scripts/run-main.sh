#!/usr/bin/env bash
# Builds the library, the jar and the main job, and runs the main job on the
# simulated Windows machine's default profile.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
build="$root/build/linux"
java -Xcheck:jni -Djava.library.path="$build" \
  -cp "$build/java/ntseclink.jar:$build/demo/ntseclink-demo.jar" com.corvane.zel.ntseclink.demo.QuickStart
