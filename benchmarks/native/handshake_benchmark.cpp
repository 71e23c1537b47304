// Full handshakes, from the creation of both contexts to their release, on
// one thread and on two: through the natives, and by the package alone.
#include <benchmark/benchmark.h>
#include <winsim/control.h>

#include <functional>
#include <vector>

#include "benchmarks.h"
#include "host_session.h"
#include "package_pair.h"
#include "paired_rounds.h"

namespace ntseclink_bench {

namespace {

constexpr int kRounds = 31;
constexpr int kHandshakesPerBatch = 200;

using Handshakes = std::function<void(const std::u16string &package, int count)>;

void packageCallsAlone(const std::u16string &package, int count) {
  const std::u16string target = targetFor(package);
  for (int i = 0; i < count; ++i) {
    PackagePair pair(package, kClientFlags, target);
  }
}

// Wall-clock nanoseconds per handshake, the batch shared out among threads.
double batch(const Handshakes &handshakes, const std::u16string &package, int threads) {
  winsim::clearJournal();
  return wallNanosecondsShared([&](int count) { handshakes(package, count); }, kHandshakesPerBatch, threads);
}

void handshakesPerSecond(benchmark::State &state, const std::u16string &package) {
  enum { kPackageOne, kPackageTwo, kNativesOne, kNativesTwo };
  PairedRounds rounds(state, {[&] { return batch(packageCallsAlone, package, 1); },
                              [&] { return batch(packageCallsAlone, package, 2); },
                              [&] { return batch(handshakesThroughNatives, package, 1); },
                              [&] { return batch(handshakesThroughNatives, package, 2); }});
  const char *names[] = {"package_1", "package_2", "natives_1", "natives_2"};
  for (size_t i = 0; i < std::size(names); ++i) {
    state.counters[std::string("per_s_") + names[i]] = 1e9 / rounds.medianNanoseconds(i);
  }
  state.counters["scaling_package"] = rounds.medianRatio(kPackageOne, kPackageTwo);
  state.counters["scaling_natives"] = rounds.medianRatio(kNativesOne, kNativesTwo);
  state.counters["natives_over_package"] = rounds.medianRatio(kNativesOne, kPackageOne);
}

}  // namespace

void registerHandshakeBenchmarks() {
  for (const std::u16string package : {u"NTLM", u"Kerberos"}) {
    const std::string name(package.begin(), package.end());
    benchmark::RegisterBenchmark(("handshakes/" + name).c_str(), handshakesPerSecond, package)
        ->Iterations(kRounds)
        ->Repetitions(1);
  }
}

}  // namespace ntseclink_bench
