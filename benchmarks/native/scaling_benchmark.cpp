// Authentications on 8 threads against 1, with a latency on the package calls
// that stands for the round trip to the security service (on Windows an RPC,
// and for Kerberos perhaps a domain controller): how many of them the library
// lets wait at once.
#include <benchmark/benchmark.h>
#include <winsim/control.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "benchmarks.h"
#include "host_session.h"
#include "paired_rounds.h"

namespace ntseclink_bench {

namespace {

constexpr int kRounds = 15;
constexpr int kCallsPerBatch = 192;  // shared out evenly on 1 and 8 threads
constexpr auto kLatency = std::chrono::microseconds(200);

struct Scenario {
  const char *name;
  std::vector<std::string> slowCalls;
  std::function<void(int count)> authenticate;
};

// A user's context made, asked about one group, and released.
void userContexts(int count) {
  Host host(count + 1);
  const jnihost::Natives &api = natives();
  jstring user = host.string(u"CORVANE\\alice");
  jstring group = host.string(u"CORVANE\\Engineering");
  for (int i = 0; i < count; ++i) {
    jint handle = api.UserAuth_CreateUserContext(host.env(), nullptr, user);
    api.UserAuth_IsGroupMember(host.env(), nullptr, handle, group);
    api.UserAuth_FreeHandle(host.env(), nullptr, handle);
  }
  host.check();
}

void setLatency(const std::vector<std::string> &calls, std::chrono::microseconds latency) {
  for (const std::string &call : calls) {
    winsim::setCallLatency(call, latency);
  }
}

void scaling(benchmark::State &state, const Scenario *scenario) {
  setLatency(scenario->slowCalls, kLatency);
  auto batch = [scenario](int threads) {
    winsim::clearJournal();
    return wallNanosecondsShared(scenario->authenticate, kCallsPerBatch, threads);
  };
  PairedRounds rounds(state, {[&] { return batch(1); }, [&] { return batch(8); }});
  setLatency(scenario->slowCalls, std::chrono::microseconds(0));
  state.counters["scaling"] = rounds.medianRatio(0, 1);
  state.counters["latency_us"] = static_cast<double>(kLatency.count());
}

const std::vector<std::string> kHandshakeCalls = {"AcceptSecurityContext", "InitializeSecurityContextW"};
const std::vector<std::string> kAuthzCalls = {"AuthzInitializeContextFromSid",
                                              "AuthzGetInformationFromContext"};

}  // namespace

void registerScalingBenchmarks() {
  static const Scenario scenarios[] = {
      {"NTLM", kHandshakeCalls, [](int count) { handshakesThroughNatives(u"NTLM", count); }},
      {"Kerberos", kHandshakeCalls, [](int count) { handshakesThroughNatives(u"Kerberos", count); }},
      {"user-contexts", kAuthzCalls, userContexts},
  };
  for (const Scenario &scenario : scenarios) {
    benchmark::RegisterBenchmark((std::string("scaling/") + scenario.name).c_str(), scaling, &scenario)
        ->Iterations(kRounds)
        ->Repetitions(1);
  }
}

}  // namespace ntseclink_bench
