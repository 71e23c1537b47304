#!/usr/bin/env bash
# A consumer's build against the release alone: the files of dist/ (checked
# against SHA256SUMS) are published into a throwaway repository, and the
# application here, which names the library by its coordinates only, is
# built by Maven from it with a local repository of its own that holds no
# other build of the library; then it signs on through the API, and the
# doctor runs from the jar Maven resolved, both on the simulated machine.
# Third-party artifacts come from the machine's Maven repository, or are
# fetched.
# Usage: tests/consumer/run.sh   (after scripts/build-windows.sh and scripts/build.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
readonly DIST="$root/dist" LIBRARY="$root/build/linux/libntseclink.so"
readonly WORK="$root/build/consumer"
version="$(sed -nE 's/^project\(ntseclink VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")"
readonly version

for file in "$DIST/SHA256SUMS" "$LIBRARY"; do
  [[ -f "$file" ]] || { echo "missing $file: build the release and the Linux library first" >&2; exit 2; }
done
(cd "$DIST" && sha256sum --quiet -c SHA256SUMS)

rm -rf "$WORK"
mkdir -p "$WORK/published" "$WORK/local"
# The machine's repository, less any build of the library, as the local one.
if [[ -d "$HOME/.m2/repository" ]]; then
  cp -al "$HOME/.m2/repository/." "$WORK/local/"
  rm -rf "$WORK/local/com/corvane"
fi

# Publishes each artifact of dist/ as a deployment would: its POM, jar,
# sources and Javadoc.
for pom in "$DIST"/*-"$version".pom; do
  base="${pom%.pom}"
  mvn -q -f "$here/pom.xml" deploy:deploy-file -Durl="file://$WORK/published" -DrepositoryId=ntseclink-release \
    -DpomFile="$pom" -Dfile="$base.jar" -Dsources="$base-sources.jar" -Djavadoc="$base-javadoc.jar" \
    -Dmaven.repo.local="$WORK/local"
done

consumer=(mvn -f "$here/pom.xml" -Dmaven.repo.local="$WORK/local" -Dntseclink.version="$version"
  -Dntseclink.repository="file://$WORK/published" -Dconsumer.build.dir="$WORK/target")
"${consumer[@]}" -q package dependency:build-classpath -Dmdep.outputFile="$WORK/classpath"

# The jar Maven resolved is the release's, byte for byte.
resolved="$WORK/local/com/corvane/zel/ntseclink/$version/ntseclink-$version.jar"
cmp "$resolved" "$DIST/ntseclink-$version.jar"

export WINSIM_ROOT="$WORK/drive-c"
java_run=(java -Xcheck:jni --enable-native-access=ALL-UNNAMED -Dntseclink.library.path="$LIBRARY"
  -cp "$WORK/target/classes:$(cat "$WORK/classpath")")
output="$("${java_run[@]}" com.example.consumer.LoopbackSignOn)"
echo "$output"
[[ "$output" == "signed on: CORVANE\\svc-tarnwell; filter: com.corvane.zel.ntseclink.servlet.NegotiateFilter; configurer: com.corvane.zel.ntseclink.spring.NegotiateConfigurer" ]] || {
  echo "FAILED: the consumer's sign-on printed something else" >&2
  exit 1
}
"${java_run[@]}" com.corvane.zel.ntseclink.doctor.Main doctor --user 'CORVANE\alice' | tee "$WORK/doctor.txt"
grep -q '^Result: every check passed' "$WORK/doctor.txt"
if grep -qE 'in native method|WARNING: JNI local refs' "$WORK/doctor.txt"; then
  echo "FAILED: the JVM reported JNI misuse" >&2
  exit 1
fi
echo "The consumer built against the release alone and ran."
