#!/usr/bin/env bash
# Runs the JUnit tests on the JVM with -Xcheck:jni against the Linux build of
# the library, named with -Dntseclink.library.path as the tests' opt-in to the
# simulated machine. HotSpot reports JNI misuse on the output and still exits
# 0, so any such report fails the run here.
#
# NTSECLINK_RELEASE_JAR and NTSECLINK_TESTED_DLL (set by ctest) name the
# release jar and the Windows build's DLL for the release tests.
#
# Usage: [NTSECLINK_TEST_JDK=JDK_HOME|newest] run-java-tests.sh BUILD_DIR [--without-release | --release | JUNIT_SELECTORS...]
#   BUILD_DIR is the Linux build directory after building the targets
#   ntseclink, ntseclink_classes, ntseclink_servlet and ntseclink_java_tests.
#   --without-release runs every test but the release's (tagged "release");
#   --release runs those alone. Only the Windows build makes the release:
#   without it, --release says so and exits 77, which ctest reports as
#   skipped, or fails when NTSECLINK_REQUIRE_RELEASE=1 (scripts/test.sh,
#   which builds it first). Selectors such as
#   --select-class=com.corvane.zel.ntseclink.SspiCreateContextTest run only
#   those tests instead of all.
set -euo pipefail

usage() {
  echo "usage: $0 BUILD_DIR [--without-release | --release | JUNIT_OPTIONS...]" >&2
  exit 2
}

(($# >= 1)) || usage
# The JDK to run on: NTSECLINK_TEST_JDK names its home, or "newest" for the
# newest of /usr/lib/jvm by the version its release file records; else the java on the PATH.
newest_jdk() {
  local release
  for release in /usr/lib/jvm/*/release; do
    [[ -x "$(dirname "$release")/bin/java" ]] || continue
    printf '%s %s\n' "$(sed -n 's/^JAVA_VERSION="\(.*\)"$/\1/p' "$release")" "$(dirname "$release")"
  done | sort -V | tail -n 1 | cut -d ' ' -f 2-
}
case "${NTSECLINK_TEST_JDK:-}" in
  "") JAVA=java ;;
  newest)
    jdk="$(newest_jdk)"
    [[ -n "$jdk" ]] || { echo "no JDK with a release file under /usr/lib/jvm" >&2; exit 2; }
    JAVA="$jdk/bin/java"
    ;;
  *) JAVA="$NTSECLINK_TEST_JDK/bin/java" ;;
esac
readonly JAVA
"$JAVA" -version 2>&1 | head -n 1
readonly BUILD_DIR="$(cd "$1" && pwd)"
shift
readonly JUNIT_CONSOLE_JAR=/usr/share/java/junit-platform-console-standalone.jar
readonly CLASSES_JAR="$BUILD_DIR/java/ntseclink-classes.jar"
readonly SERVLET_JAR="$BUILD_DIR/java/ntseclink-servlet.jar"
readonly TOMCAT_EMBED_JAR=/usr/share/java/tomcat10-embed-core.jar
readonly LIBRARY="$BUILD_DIR/libntseclink.so"
readonly TESTS_JAR="$BUILD_DIR/tests/java/ntseclink-tests.jar"
# HotSpot's -Xcheck:jni reports: warnings and fatal errors "in native method",
# local reference overflows, and calls made inside a critical region.
readonly JNI_COMPLAINTS_RE='(WARNING|FATAL ERROR) in native method|WARNING: JNI local refs|Warning: Calling other JNI functions'
# JDK 22 and later warn when code without native access loads a library.
readonly NATIVE_ACCESS_RE='WARNING: A restricted method|WARNING: Use --enable-native-access'

[[ -f "$JUNIT_CONSOLE_JAR" ]] || { echo "JUnit 5 is missing: install the Debian package junit5" >&2; exit 2; }
[[ -f "$TOMCAT_EMBED_JAR" ]] || { echo "Tomcat 10 is missing: install the Debian package libtomcat10-embed-java" >&2; exit 2; }
for file in "$LIBRARY" "$CLASSES_JAR" "$SERVLET_JAR" "$TESTS_JAR"; do
  [[ -f "$file" ]] || { echo "missing $file: build the library, its jar and the Java tests first" >&2; exit 2; }
done

output="$(mktemp)"
# The simulated machine's drive C: of this run only.
WINSIM_ROOT="$(mktemp -d)"
export WINSIM_ROOT
trap 'rm -f "$output"; rm -rf "$WINSIM_ROOT"' EXIT

readonly RELEASE_TAG=release
readonly SKIPPED=77

# Names the release's files that are missing, if any.
missing_release_files() {
  local file
  for file in "${NTSECLINK_RELEASE_JAR:-}" "${NTSECLINK_TESTED_DLL:-}"; do
    [[ -n "$file" && -f "$file" ]] || echo "${file:-(a file not named)}"
  done
}

# Stops here when the release is missing: a skip, or a failure where it is required.
require_release() {
  local missing
  missing="$(missing_release_files)"
  [[ -n "$missing" ]] || return 0
  echo "The release tests did not run: they read what the Windows build makes (scripts/build-windows.sh)," \
    "and this is missing: ${missing//$'\n'/, }"
  if [[ "${NTSECLINK_REQUIRE_RELEASE:-}" == 1 ]]; then
    echo "FAILED: NTSECLINK_REQUIRE_RELEASE=1 requires them" >&2
    exit 1
  fi
  exit "$SKIPPED"
}

# Every test of the jar, unless the options select some.
selection=(--scan-class-path "$TESTS_JAR")
case "${1:-}" in
  "") ;;
  --without-release) selection+=(--exclude-tag "$RELEASE_TAG" --fail-if-no-tests) ;;
  --release)
    require_release
    selection+=(--include-tag "$RELEASE_TAG" --fail-if-no-tests)
    ;;
  *) selection=("$@") ;;
esac

status=0
# java.library.path holds the tests' own support library.
# The classes are on the class path: their native access is the unnamed module's.
"$JAVA" -Xcheck:jni --enable-native-access=ALL-UNNAMED -Dntseclink.library.path="$LIBRARY" -Djava.library.path="$BUILD_DIR" \
  -Dntseclink.test.releaseJar="${NTSECLINK_RELEASE_JAR:-}" -Dntseclink.test.testedDll="${NTSECLINK_TESTED_DLL:-}" \
  -jar "$JUNIT_CONSOLE_JAR" --class-path "$CLASSES_JAR:$SERVLET_JAR:$TOMCAT_EMBED_JAR:$TESTS_JAR" --disable-banner --disable-ansi-colors --details=tree "${selection[@]}" 2>&1 |
  tee "$output" || status=$?

if grep -qE "$JNI_COMPLAINTS_RE" "$output"; then
  echo "FAILED: the JVM reported JNI misuse:" >&2
  grep -E "$JNI_COMPLAINTS_RE" "$output" | sort | uniq -c >&2
  exit 1
fi
if grep -qE "$NATIVE_ACCESS_RE" "$output"; then
  echo "FAILED: the JVM warned of native access without --enable-native-access or Enable-Native-Access:" >&2
  grep -E "$NATIVE_ACCESS_RE" "$output" | sort | uniq -c >&2
  exit 1
fi
exit "$status"
