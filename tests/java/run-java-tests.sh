#!/usr/bin/env bash
# Runs the Java suites through Maven: `verify` of the reactor (java/pom.xml),
# each module's JUnit suite on the real JVM with -Xcheck:jni against the
# simulated machine's build of the library (build/linux). HotSpot reports
# JNI misuse on its output and still exits 0, and JDK 22 and later only warn
# of native access without permission, so any such report in the suites'
# output fails the run here.
#
# Usage: [NTSECLINK_TEST_JDK=JDK_HOME|newest] run-java-tests.sh [--release] [MAVEN_ARGUMENTS...]
#   The suites run on the JDK that NTSECLINK_TEST_JDK names, or "newest" for
#   the newest of /usr/lib/jvm by the version its release file records; else
#   on Maven's own. --release runs the release's cases too, on dist/ and the
#   DLL of build/windows, which must exist (scripts/build-windows.sh).
#   Arguments such as -Dtest=WinUtilTest -Dsurefire.failIfNoSpecifiedTests=false
#   narrow the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

newest_jdk() {
  local release
  for release in /usr/lib/jvm/*/release; do
    [[ -x "$(dirname "$release")/bin/java" ]] || continue
    printf '%s %s\n' "$(sed -n 's/^JAVA_VERSION="\(.*\)"$/\1/p' "$release")" "$(dirname "$release")"
  done | sort -V | tail -n 1 | cut -d ' ' -f 2-
}

options=()
case "${NTSECLINK_TEST_JDK:-}" in
  "") ;;
  newest)
    jdk="$(newest_jdk)"
    [[ -n "$jdk" ]] || { echo "no JDK with a release file under /usr/lib/jvm" >&2; exit 2; }
    options+=("-Dntseclink.test.jvm=$jdk/bin/java")
    ;;
  *) options+=("-Dntseclink.test.jvm=$NTSECLINK_TEST_JDK/bin/java") ;;
esac
if [[ "${1:-}" == --release ]]; then
  shift
  version="$(sed -nE 's/^project\(ntseclink VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")"
  options+=("-Dntseclink.test.releaseJar=$root/dist/ntseclink-$version.jar"
    "-Dntseclink.test.testedDll=$root/build/windows/ntseclink.dll")
fi

# HotSpot's -Xcheck:jni reports: warnings and fatal errors "in native method",
# local reference overflows, and calls made inside a critical region.
readonly JNI_COMPLAINTS_RE='(WARNING|FATAL ERROR) in native method|WARNING: JNI local refs|Warning: Calling other JNI functions'
# JDK 22 and later warn when code without native access loads a library.
readonly NATIVE_ACCESS_RE='WARNING: A restricted method|WARNING: Use --enable-native-access'

# The suites' own outputs (redirected per class) and what their JVMs wrote
# past Surefire (.dumpstream), of this run only.
reports() {
  local top
  for top in "$root/java" "$root/tests" "$root/examples" "$root/benchmarks"; do
    [[ -d "$top" ]] && find "$top" -path '*/target/surefire-reports*' -type d -prune -print
  done
  return 0
}
reports | xargs -r rm -rf

# The simulated machine's drive C: of this run only.
drive="$(mktemp -d)"
trap 'rm -rf "$drive"' EXIT

status=0
"$root/scripts/maven.sh" verify -Dntseclink.test.driveC="$drive" ${options[@]+"${options[@]}"} "$@" || status=$?

found() {
  local pattern=$1
  reports | while read -r dir; do grep -rhE "$pattern" "$dir" || true; done
}
complaints="$(found "$JNI_COMPLAINTS_RE")"
if [[ -n "$complaints" ]]; then
  echo "FAILED: a suite's JVM reported JNI misuse:" >&2
  echo "$complaints" | sort | uniq -c >&2
  exit 1
fi
warnings="$(found "$NATIVE_ACCESS_RE")"
if [[ -n "$warnings" ]]; then
  echo "FAILED: a suite's JVM warned of native access without --enable-native-access or Enable-Native-Access:" >&2
  echo "$warnings" | sort | uniq -c >&2
  exit 1
fi
exit "$status"
