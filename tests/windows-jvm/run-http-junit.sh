#!/usr/bin/env bash
# Runs the HTTP sign-on suite: the Linux JDK's JUnit cases of http-src,
# which start the Windows JVM suite's sign-on server under Wine and sign on
# to it with the JDK's own SPNEGO. Run by run-wine-tests.sh inside its Wine
# prefix and Kerberos realm, whose environment the Linux JDK and the server
# share.
#
# Usage: run-http-junit.sh JAVA_EXE RELEASE_JAR TESTS_JAR HTTP_TESTS SERVLET_JAR TEMP_DIR [JUNIT_OPTIONS...]
#   JAVA_EXE is the Windows JVM; TEMP_DIR (made when missing) is its
#   java.io.tmpdir, so that its copies of the DLL are its own.
set -euo pipefail
(($# >= 6)) || {
  echo "usage: $0 JAVA_EXE RELEASE_JAR TESTS_JAR HTTP_TESTS SERVLET_JAR TEMP_DIR [JUNIT_OPTIONS...]" >&2
  exit 2
}
java_exe="$1" release_jar="$2" tests_jar="$3" http_tests="$4" servlet_jar="$5" temp_dir="$6"
shift 6
mkdir -p "$temp_dir"
readonly WINE="${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}"
# The JUnit launcher that Maven put beside the suite (scripts/build-windows.sh).
readonly JUNIT_CONSOLE_JAR="$(dirname "${BASH_SOURCE[0]}")/target/lib/junit-platform-console-standalone.jar"
: "${KRB5_CONFIG:?run inside the Kerberos realm of kerberos-realm.sh}"

# Every test of the jar, unless the options select some.
selection=(--scan-class-path "$http_tests")
for option in "$@"; do
  [[ "$option" == --select* ]] && selection=()
done

# The JDK logs in from the ticket cache that KRB5CCNAME names, by itself.
exec java -Djava.security.krb5.conf="$KRB5_CONFIG" -Djavax.security.auth.useSubjectCredsOnly=false \
  -Dwindowsjvm.wine="$WINE" -Dwindowsjvm.java="$java_exe" -Dwindowsjvm.releaseJar="$release_jar" \
  -Dwindowsjvm.testsJar="$tests_jar" -Dwindowsjvm.servletJar="$servlet_jar" \
  -Dwindowsjvm.tomcatJar="$(dirname "$JUNIT_CONSOLE_JAR")/tomcat-embed-core.jar" -Dwindowsjvm.tempDir="$temp_dir" \
  -jar "$JUNIT_CONSOLE_JAR" execute --class-path "$http_tests:$tests_jar" ${selection[@]+"${selection[@]}"} \
  --disable-banner --disable-ansi-colors --details=tree "$@"
