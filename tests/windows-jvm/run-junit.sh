#!/usr/bin/env bash
# Runs the Windows JVM suite (or the part the JUnit options select) under
# Wine with -Xcheck:jni, on the release jar, and fails on any JNI complaint
# about the library's natives. Run by run-wine-tests.sh inside its Wine
# prefix and Kerberos or domain environment.
#
# Usage: run-junit.sh JAVA_EXE RELEASE_JAR TESTS_JAR TEMP_DIR [JUNIT_OPTIONS...]
#   TEMP_DIR (made when missing) is the JVM's java.io.tmpdir and its child
#   JVMs', so that runs side by side do not see each other's copies of the DLL.
set -euo pipefail
(($# >= 4)) || { echo "usage: $0 JAVA_EXE RELEASE_JAR TESTS_JAR TEMP_DIR [JUNIT_OPTIONS...]" >&2; exit 2; }
java_exe="$1" release_jar="$2" tests_jar="$3" temp_dir="$4"
shift 4
mkdir -p "$temp_dir"
readonly WINE="${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}"
# The JUnit launcher that Maven put beside the suite (scripts/build-windows.sh).
readonly JUNIT_CONSOLE_JAR="$(dirname "${BASH_SOURCE[0]}")/target/lib/junit-platform-console-standalone.jar"
# HotSpot's -Xcheck:jni reports, as run-java-tests.sh reads them.
readonly JNI_COMPLAINTS_RE='(WARNING|FATAL ERROR) in native method|WARNING: JNI local refs|Warning: Calling other JNI functions'

# A Linux path as the Windows JVM names it: drive Z: is the Linux root.
windows_path() {
  local path
  path="$(realpath "$1")"
  echo "Z:${path//\//\\}"
}

# Every test of the jar, unless the options select some.
selection=(--scan-class-path "$(windows_path "$tests_jar")")
for option in "$@"; do
  [[ "$option" == --select* ]] && selection=()
done

output="$(mktemp)"
trap 'rm -f "$output"' EXIT
# Wine 8 has no GetProcessGroupAffinity; HotSpot warns and carries on.
readonly AFFINITY_WARNING='Attempt to get process group affinity failed'

run_suite() {
  status=0
  "$WINE" "$java_exe" -Xcheck:jni -Djava.io.tmpdir="$(windows_path "$temp_dir")" \
    -Dwindowsjvm.releaseJar="$(windows_path "$release_jar")" -Dwindowsjvm.testsJar="$(windows_path "$tests_jar")" \
    -jar "$(windows_path "$JUNIT_CONSOLE_JAR")" execute \
    --class-path "$(windows_path "$release_jar");$(windows_path "$tests_jar")" \
    ${selection[@]+"${selection[@]}"} --disable-banner --disable-ansi-colors --details=tree "$@" >"$output" 2>&1 || status=$?
}

run_suite "$@"
# Once in some ten runs here the JVM under Wine ended before printing
# anything, with no test begun: that start, and that alone, is tried again.
if ((status != 0)) && ! grep -qv "$AFFINITY_WARNING" "$output"; then
  echo "The Windows JVM ended with status $status before printing anything; starting it once more."
  run_suite "$@"
fi
grep -v "$AFFINITY_WARNING" "$output" || true
((status == 0)) || echo "The Windows JVM ended with status $status."

# The JDK's own net.dll overruns its local references while it lists
# Wine's network adapters (for the seed of SecureRandom): a complaint
# whose first frame is java.net.NetworkInterface is the JDK's, not ours.
complaints="$(awk -v complaint="$JNI_COMPLAINTS_RE" '
  $0 ~ complaint { line = $0; getline frame; if (frame !~ /at java\.net\.NetworkInterface\./) print line " " frame }
' "$output")"
if [[ -n "$complaints" ]]; then
  echo "FAILED: the JVM reported JNI misuse:"
  echo "$complaints" | sort | uniq -c
  exit 1
fi
exit "$status"
