#!/usr/bin/env bash
# Runs the Windows test program under Wine, in a Wine prefix of its own, once
# for each of its suites, each in the setting it needs; everything is made
# afresh in one temporary directory, and stopped and removed afterwards,
# whatever the result. Builds nothing.
#
#   wine                     Wine's own packages on both sides of a handshake,
#                            against a throw-away MIT Kerberos realm on loopback
#                            (kerberos-realm.sh)
#   jdk-peer                 the JDK's own Kerberos on the other side, in the same
#                            realm: JdkPeer (ntseclink-jdk-peer.jar, beside the
#                            program) runs the program and answers it
#   domain                   NTLM and Negotiate through a throw-away Active
#   domain-no-credentials    Directory domain controller on loopback
#   domain-disabled-account  (samba-domain.sh), each as another domain account
#   windows-jvm              the release jar in a real Windows JVM (the pinned
#   windows-jvm-domain       runtime, ../windows-jvm/runtime.sh): the JUnit
#                            suite of ../windows-jvm against the realm, then
#                            the domain; only with --dll-from-jar, whose jar
#                            it runs on
#   windows-jvm-http         the Linux JDK's own SPNEGO signing on over HTTP to
#                            the JDK's HTTP server and to Tomcat on that JVM,
#                            in the realm (../windows-jvm/run-http-junit.sh);
#                            also only with --dll-from-jar
#
# The domain and its own KDC run beside the MIT realm, each KDC on a free
# port; a run of the program sees one of them through its Kerberos
# environment. The domain is provisioned while the first suites run.
#
# What Samba keeps in fixed system places instead of the run's directory
# (samba-domain.sh says why): winbindd's socket /run/samba/winbindd/pipe,
# removed at the end with its directory if the run made it; an empty
# /var/log/samba/log.winbindd, removed likewise; the lock file
# /run/lock/ntseclink-wintests-domain.lock, which makes concurrent runs take
# turns with the domain controller; and TCP port 135 on loopback while it
# runs.
#
# Usage: run-wine-tests.sh [--dll-from-jar JAR] BUILD_DIR [PROGRAM_ARGS...]
#   BUILD_DIR holds ntseclink_wintests.exe, ntseclink.dll and the JDK peer's
#   jar (the Windows build directory); the Windows JVM suites are Maven's, in
#   tests/windows-jvm/target. The exit code is 0 when every case of every
#   suite passed.
#   --dll-from-jar runs the test program on the DLL as extracted from that
#   jar (the release) instead of the one beside it, and the Windows JVM
#   suites on that jar and the servlet filter's jar beside it.
set -euo pipefail

usage() {
  echo "usage: $0 [--dll-from-jar JAR] BUILD_DIR [PROGRAM_ARGS...]" >&2
  exit 2
}

dll_jar=""
if [[ "${1:-}" == "--dll-from-jar" ]]; then
  (($# >= 2)) && [[ -f "$2" ]] || usage
  dll_jar="$(realpath "$2")"
  shift 2
fi
(($# >= 1)) || usage
BUILD_DIR="$(cd "$1" && pwd)"
readonly BUILD_DIR
shift
readonly PROGRAM="$BUILD_DIR/ntseclink_wintests.exe"
readonly JDK_PEER="$BUILD_DIR/ntseclink-jdk-peer.jar"
readonly WINE="${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}"
readonly WINESERVER="${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
readonly HERE
# The Windows JVM suite as Maven builds it (scripts/build-windows.sh).
readonly WINDOWS_JVM_TESTS="$HERE/../windows-jvm/target/ntseclink-windows-jvm-tests.jar"
readonly WINDOWS_JVM_HTTP_TESTS="$HERE/../windows-jvm/target/test-classes"
# shellcheck source=kerberos-realm.sh
source "$HERE/kerberos-realm.sh"
# shellcheck source=samba-domain.sh
source "$HERE/samba-domain.sh"

for file in "$PROGRAM" "$BUILD_DIR/ntseclink.dll" "$JDK_PEER" "$WINDOWS_JVM_TESTS" "$WINDOWS_JVM_HTTP_TESTS"; do
  [[ -e "$file" ]] || { echo "missing $file: build the Windows test programs first (scripts/build-windows.sh)" >&2; exit 2; }
done

WORK_DIR="$(mktemp -d "${TMPDIR:-/tmp}/ntseclink-wine.XXXXXX")"
readonly WORK_DIR
export WINEPREFIX="$WORK_DIR/prefix"
export WINEDEBUG=-all
# No display: the prefix is made without the desktop integration that would ask for one.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
PROVISION_PID=""
# The suites run side by side, each writing to a file of its own; they are
# reported in the order they were started.
suite_names=()
suite_titles=()
suite_pids=()

# shellcheck disable=SC2317  # run by the trap
cleanup() {
  local pid
  # Whole, even when interrupted again.
  trap '' INT TERM
  if [[ -n "$PROVISION_PID" ]]; then
    kill -- "-$PROVISION_PID" 2>/dev/null || true
    wait "$PROVISION_PID" 2>/dev/null || true
  fi
  for pid in "${suite_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  domain_stop
  realm_stop
  "$WINESERVER" -k 2>/dev/null || true
  "$WINESERVER" -w 2>/dev/null || true
  rm -rf "$WORK_DIR"
}
trap cleanup EXIT
# An interrupted run cleans up too.
trap 'exit 130' INT
trap 'exit 143' TERM

# The prefix is made first, so that Wine's messages about it stay out of the
# program's output, and a broken Wine shows as such. The domain, which takes
# longest, is provisioned meanwhile and while the first suites run.
"$WINE" wineboot --init >"$WORK_DIR/wineboot.log" 2>&1 &
wineboot_pid=$!
# In a process group of its own, which the cleanup stops whole.
# shellcheck disable=SC2016  # expanded by that shell
setsid bash -c 'set -euo pipefail; source "$0"; source "$1"; domain_provision "$2"' \
  "$HERE/kerberos-realm.sh" "$HERE/samba-domain.sh" "$WORK_DIR/domain" &
PROVISION_PID=$!

# Wine's Kerberos package reaches the realm through the system's Kerberos
# library, which reads the environment this exports.
realm_start "$WORK_DIR/realm"
if ! wait "$wineboot_pid"; then
  echo "cannot create a Wine prefix:" >&2
  cat "$WORK_DIR/wineboot.log" >&2
  exit 2
fi

# The DLL as the release jar carries it, given to the program by its path on
# Wine's drive Z: (the Linux root).
program_args=("$@")
if [[ -n "$dll_jar" ]]; then
  readonly JAR_DLL=native/windows-x86_64/ntseclink.dll
  mkdir "$WORK_DIR/release"
  (cd "$WORK_DIR/release" && jar --extract --file "$dll_jar" "$JAR_DLL")
  [[ -f "$WORK_DIR/release/$JAR_DLL" ]] || { echo "$dll_jar carries no $JAR_DLL" >&2; exit 2; }
  echo "Testing the DLL extracted from $dll_jar, SHA-256 $(sha256sum "$WORK_DIR/release/$JAR_DLL" | cut -d ' ' -f 1)"
  windows_path="Z:$WORK_DIR/release/$JAR_DLL"
  program_args=("${windows_path//\//\\}" "$@")
fi

# Wine names the computer after the Linux host.
WINTESTS_LINUX_HOST_NAME="$(uname -n)"
export WINTESTS_LINUX_HOST_NAME

# Starts one suite of the program: COMMAND... runs it, with the program's
# arguments after them.
start_suite() {
  local name="$1" title="$2"
  shift 2
  start_command_suite "$name" "$title" "$@" "$PROGRAM" --suite "$name" "${program_args[@]}"
}

# Starts one suite that COMMAND... runs whole.
start_command_suite() {
  local name="$1" title="$2"
  shift 2
  "$@" >"$WORK_DIR/$name.out" 2>&1 &
  suite_names+=("$name")
  suite_titles+=("$title")
  suite_pids+=("$!")
}

# Starts a part of the Windows JVM suite: JUNIT_OPTIONS... select it, ENV...
# (NAME=VALUE words before them) set its environment.
start_windows_jvm_suite() {
  local name="$1" title="$2"
  shift 2
  local environment=()
  while [[ "${1:-}" == *=* && "${1:-}" != -* ]]; do
    environment+=("$1")
    shift
  done
  start_command_suite "$name" "$title" env ${environment[@]+"${environment[@]}"} \
    "$HERE/../windows-jvm/run-junit.sh" "$WINDOWS_JVM_JAVA" "$dll_jar" "$WINDOWS_JVM_TESTS" "$WORK_DIR/$name-temp" "$@"
}

# The JUnit summaries of the Windows JVM suites, added up: one line.
windows_jvm_summary() {
  local passed=0 failed=0 name count
  for name in "${suite_names[@]}"; do
    [[ "$name" == windows-jvm* ]] || continue
    # The Windows JVM ends its lines with CR LF.
    count="$(tr -d '\r' <"$WORK_DIR/$name.out" | sed -nE 's/^\[ *([0-9]+) tests successful *\]$/\1/p')"
    passed=$((passed + ${count:-0}))
    count="$(tr -d '\r' <"$WORK_DIR/$name.out" | sed -nE 's/^\[ *([0-9]+) tests failed *\]$/\1/p')"
    # A run that ended before its summary counts as one failure.
    failed=$((failed + ${count:-1}))
  done
  echo "windows-jvm: $passed passed, $failed failed"
}

# Waits for every suite and prints its output; fails when any suite failed
# or, named in the arguments, could not start.
report_suites() {
  local failed=("$@") i
  for i in "${!suite_names[@]}"; do
    wait "${suite_pids[$i]}" || failed+=("${suite_names[$i]}")
    printf '\n== Suite %s: %s\n' "${suite_names[$i]}" "${suite_titles[$i]}"
    cat "$WORK_DIR/${suite_names[$i]}.out"
  done
  echo
  if [[ -n "$dll_jar" ]]; then
    windows_jvm_summary
  fi
  if ((${#failed[@]} > 0)); then
    echo "Wine suites FAILED: ${failed[*]}"
    return 1
  fi
  echo "Wine suites: all ${#suite_names[@]} passed"
}

start_suite wine "Wine's own packages on both sides, MIT Kerberos realm $REALM_NAME" "$WINE"
wine_suite_pid="${suite_pids[-1]}"
start_suite jdk-peer "the JDK's own Kerberos and SPNEGO as the peer, realm $REALM_NAME" \
  java -Djava.security.krb5.conf="$KRB5_CONFIG" -jar "$JDK_PEER" "$WINE"
if [[ -n "$dll_jar" ]]; then
  # The release's servlet filter, beside its main jar.
  SERVLET_JAR="$(dirname "$dll_jar")/$(basename "$dll_jar" | sed 's/^ntseclink-/ntseclink-servlet-/')"
  readonly SERVLET_JAR
  [[ -f "$SERVLET_JAR" ]] || { echo "missing $SERVLET_JAR beside $dll_jar" >&2; exit 2; }
  WINDOWS_JVM_JAVA="$("$HERE/../windows-jvm/runtime.sh" "$BUILD_DIR/windows-jvm-runtime")"
  readonly WINDOWS_JVM_JAVA
  # After the program's own suite, whose cases of the registry and of the
  # data directory share the prefix with it.
  while kill -0 "$wine_suite_pid" 2>/dev/null; do sleep 1; done
  start_windows_jvm_suite windows-jvm "the release jar on a Windows JVM, realm $REALM_NAME" --exclude-tag domain
  windows_jvm_suite_pid="${suite_pids[-1]}"
  # Its server's JVM copies the DLL into a temporary folder of its own, out
  # of sight of the loader cases, which count the copies in theirs.
  start_command_suite windows-jvm-http "HTTP sign-on from the Linux JDK to the release jar on a Windows JVM, realm $REALM_NAME" \
    "$HERE/../windows-jvm/run-http-junit.sh" "$WINDOWS_JVM_JAVA" "$dll_jar" "$WINDOWS_JVM_TESTS" \
    "$WINDOWS_JVM_HTTP_TESTS" "$SERVLET_JAR" "$WORK_DIR/windows-jvm-http-temp"
else
  echo "The Windows JVM suite runs on a release jar: name one with --dll-from-jar."
fi

# The domain, once provisioned.
domain_ready() {
  local provisioned=0
  wait "$PROVISION_PID" || provisioned=$?
  PROVISION_PID=""
  ((provisioned == 0)) && domain_start "$WORK_DIR/domain"
}

if ! domain_ready; then
  echo "The domain controller did not start; its suites do not run." >&2
  report_suites domain
  exit 1
fi
# Without a ticket but for the Wine user's: an empty ticket cache.
no_tickets="KRB5CCNAME=FILE:$WORK_DIR/domain/none.ccache"
start_suite domain "NTLM and Negotiate through the domain controller of $DOMAIN_REALM, as $DOMAIN_USER" \
  env "${DOMAIN_ENV[@]}" "$WINE"
start_suite domain-no-credentials "as $DOMAIN_NO_CREDENTIALS_USER, whose password winbindd does not hold" \
  env "${DOMAIN_ENV[@]}" "$no_tickets" USER="$DOMAIN_NO_CREDENTIALS_USER" "$WINE"
start_suite domain-disabled-account "as $DOMAIN_DISABLED_USER, whose account is disabled" \
  env "${DOMAIN_ENV[@]}" "$no_tickets" USER="$DOMAIN_DISABLED_USER" "$WINE"
if [[ -n "$dll_jar" ]]; then
  # After the realm's part, whose case of the data directory needs it
  # missing in the prefix they share; the domain's part makes nothing there
  # now, but one after the other they cannot meet in it.
  while kill -0 "$windows_jvm_suite_pid" 2>/dev/null; do sleep 1; done
  start_windows_jvm_suite windows-jvm-domain "the release jar on a Windows JVM, through the domain controller of $DOMAIN_REALM" \
    "${DOMAIN_ENV[@]}" --include-tag domain
fi
report_suites
