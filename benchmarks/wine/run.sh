#!/usr/bin/env bash
# The release's figures under Wine, one run: a trivial native and loopback
# Kerberos handshakes on the Windows JVM (WineFigures.java, which the Maven
# module benchmarks/java builds) beside the same work through the DLL's
# exports alone (wine_figures.exe); the time from `java -jar` to the doctor's
# report; and a soak of sign-ons on each, whose
# resident memory is read from the Linux side before and after, since Wine 8
# answers no memory counters of a process's own. Against a throw-away MIT
# realm on loopback and a fresh Wine prefix, both removed at the end.
#
# Usage: benchmarks/wine/run.sh [SOAK_SIGN_ONS]   (default 10000)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
readonly SOAK="${1:-10000}"
readonly NATIVE_CALLS=1000000
readonly HANDSHAKES=2000
readonly DOCTOR_RUNS=3
readonly WINE="${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}"
source "$root/scripts/packages.sh"
"$root/scripts/ensure-packages.sh" "${WINE_TEST_PACKAGES[@]}"
source "$root/tests/windows/kerberos-realm.sh"

build="$root/build/windows"
version="$(sed -nE 's/^project\(ntseclink VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")"
release_jar="$root/dist/ntseclink-$version.jar"
"$root/scripts/build-windows.sh" >/dev/null
"$root/scripts/build-windows.sh" wine_figures >/dev/null
"$root/scripts/maven.sh" -q -pl ../benchmarks/java -am package -DskipTests
# The class alone: the library's classes and its DLL come from the release jar.
figures_jar="$root/benchmarks/java/target/ntseclink-benchmarks-wine-figures.jar"
java_exe="$("$root/tests/windows-jvm/runtime.sh" "$build/windows-jvm-runtime")"

work="$(mktemp -d "${TMPDIR:-/tmp}/ntseclink-wine-figures.XXXXXX")"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
cleanup() {
  realm_stop
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
"$WINE" wineboot --init >/dev/null 2>&1
realm_start "$work/realm" >/dev/null
spn="$WINTESTS_SERVICE_PRINCIPAL"

windows_path() {
  echo "Z:${1//\//\\}"
}
dll="$(windows_path "$build/ntseclink.dll")"
class_path="$(windows_path "$release_jar");$(windows_path "$figures_jar")"
harness=("$WINE" "$build/wine_figures.exe" "$dll" "$spn")
jvm=("$WINE" "$java_exe" -cp "$class_path" com.corvane.zel.ntseclink.winefigures.WineFigures "$spn")

# The figure a program printed: "NAME VALUE" on its output.
figure() {
  local name=$1
  shift
  "$@" 2>/dev/null | tr -d '\r' | sed -n "s/^$name //p"
}

# Resident memory of a process in kB, from /proc.
resident_kb() {
  awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"
}

# COMMAND... runs a soak that pauses at "warmed" and "done"; prints the
# resident memory at each pause and the growth per sign-on in bytes.
soak() {
  local before after
  # exec: the coprocess is the Wine process itself, which execs its preloader in place.
  coproc SOAKED { exec "$@" soak "$SOAK" 2>/dev/null; }
  local pid=$SOAKED_PID
  read -r _ <&"${SOAKED[0]}"
  before="$(resident_kb "$pid")"
  echo >&"${SOAKED[1]}"
  read -r _ <&"${SOAKED[0]}"
  after="$(resident_kb "$pid")"
  echo >&"${SOAKED[1]}"
  wait "$pid" || true
  echo "$before kB -> $after kB, $(((after - before) * 1024 / SOAK)) bytes per sign-on"
}

doctor_seconds() {
  local runs=() i start
  for ((i = 0; i < DOCTOR_RUNS; i++)); do
    start=$(date +%s%N)
    "$WINE" "$java_exe" -jar "$(windows_path "$release_jar")" doctor --package Kerberos --spn "$spn" >/dev/null 2>&1 || true
    runs+=("$((($(date +%s%N) - start) / 1000000))")
  done
  printf '%s\n' "${runs[@]}" | sort -n | sed -n "$((DOCTOR_RUNS / 2 + 1))p"
}

echo "Figures under $("$WINE" --version), Windows JVM $("$WINE" "$java_exe" -version 2>&1 | tr -d '\r' | grep -m1 'Runtime Environment')"
echo "GetMaxTokenSize, ns per call ($NATIVE_CALLS calls): harness $(figure ns-per-call "${harness[@]}" native "$NATIVE_CALLS"), Windows JVM $(figure ns-per-call "${jvm[@]}" native "$NATIVE_CALLS")"
echo "Kerberos handshakes per second ($HANDSHAKES): harness $(figure handshakes-per-second "${harness[@]}" handshakes "$HANDSHAKES"), Windows JVM through ServerContext/ClientContext $(figure handshakes-per-second "${jvm[@]}" handshakes "$HANDSHAKES")"
echo "java -jar to the doctor's report (median of $DOCTOR_RUNS): $(doctor_seconds) ms"
echo "Soak of $SOAK sign-ons after 1000 to warm up, resident memory: harness $(soak "${harness[@]}")"
echo "Soak of $SOAK sign-ons after 1000 to warm up, resident memory: Windows JVM $(soak "${jvm[@]}")"
