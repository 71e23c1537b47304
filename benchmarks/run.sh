#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs them: the natives' C++ benchmarks,
# then the natives on the JVM against the same platform calls through JNA,
# then the Java layer's JMH benchmarks (a trivial native, handshakes, wrap
# and unwrap, authenticated HTTP requests). The machine and its load are
# printed first, and the load again before JMH and at the end, for BENCHMARKS.md.
# Usage: benchmarks/run.sh [BUILD_DIR]   (default build/bench)
# REPETITIONS (default 7) sets how many times the C++ reference benchmarks
# repeat; the JNA comparison runs paired rounds of its own. JMH_ARGS are
# added to JMH's command line, e.g. JMH_ARGS='Handshakes -p packageName=NTLM'.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/bench}")
source "$root/scripts/packages.sh"
"$root/scripts/ensure-packages.sh" "${LINUX_BUILD_PACKAGES[@]}" "${LINUX_TEST_PACKAGES[@]}" "${BENCHMARK_PACKAGES[@]}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target benchmarks -j2 >/dev/null
"$root/scripts/maven.sh" -q -pl ../benchmarks/java -am package -DskipTests -Dntseclink.build.dir="$build"
jar="$root/benchmarks/java/target/ntseclink-benchmarks.jar"
# The build the Java benchmarks run on; the forks JMH starts inherit it.
natives=(-Dntseclink.library.path="$build/libntseclink.so"
  -Dntseclink.bench.emptyNative="$build/benchmarks/libempty_native.so"
  -Dntseclink.bench.platform="$build/winsim/libwinsim.so")

load() {
  echo "load:    $(cut -d ' ' -f 1-3 /proc/loadavg) (1, 5, 15 min) $1"
}

echo "==== Machine"
echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "cpu:     $(lscpu | sed -n 's/^Model name: *//p') ($(nproc) cores available)"
echo "kernel:  $(uname -r)"
echo "java:    $(java -version 2>&1 | head -n 1)"
load "before the run"

echo "==== C++: natives through the JNI host, package calls alone"
status=0
"$build/benchmarks/native_benchmarks" --benchmark_repetitions="${REPETITIONS:-7}" \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.2 --benchmark_color=false || status=$?

echo "==== Java: natives on the JVM, an empty native, the platform through JNA"
java -cp "$jar" "${natives[@]}" com.corvane.zel.ntseclink.bench.JavaBenchmarks

echo "==== Java: JMH, the Java layer (settings in each class: 1 fork, 3 x 1 s warm-up, 5 x 1 s measured)"
load "before JMH"
# shellcheck disable=SC2086 # JMH_ARGS is a list of words
java "${natives[@]}" -jar "$jar" -rf json -rff "$build/benchmarks/jmh-result.json" ${JMH_ARGS:-}

load "after the run"
exit "$status"
