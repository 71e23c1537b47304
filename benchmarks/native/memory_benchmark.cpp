// Memory held per live context of each family: the growth of the process's
// heap (library, simulated platform and host alike) over 100,000 contexts,
// divided by their count, with the resident set's growth as a cross-check.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>
#include <winsim/control.h>

#include <fstream>
#include <functional>

#include "benchmarks.h"
#include "host_session.h"
#include "populations.h"

namespace ntseclink_bench {

namespace {

constexpr size_t kContexts = 100000;
// Enough contexts to grow the platform's journal, which is emptied every
// 4096 calls, to its working size before the measured round.
constexpr size_t kWarmUpContexts = 4096;

struct MemoryUse {
  double heap = 0;
  double resident = 0;
};

MemoryUse memoryInUse() {
  struct mallinfo2 info = mallinfo2();
  size_t totalPages = 0;
  size_t residentPages = 0;
  std::ifstream("/proc/self/statm") >> totalPages >> residentPages;
  return {static_cast<double>(info.uordblks + info.hblkhd),
          static_cast<double>(residentPages) * static_cast<double>(sysconf(_SC_PAGESIZE))};
}

using Maker = std::function<void(size_t count, std::vector<jint> &handles)>;

void makeEstablishedPairs(size_t contexts, std::vector<jint> &handles) {
  Host host(256);
  for (size_t pair = 0; pair < contexts / 2; ++pair) {
    Peers peers = establish(host, u"NTLM", kClientFlags, u"");
    handles.push_back(peers.client);
    handles.push_back(peers.server);
    host.count();
  }
}

void perContext(benchmark::State &state, const Family *family, const Maker &make) {
  std::vector<jint> handles;
  handles.reserve(kContexts);
  for (auto _ : state) {
    make(kWarmUpContexts, handles);
    freeContexts(natives(), *family, handles);
    handles.clear();
    winsim::clearJournal();
    malloc_trim(0);  // so that the resident set grows with the new contexts
    MemoryUse before = memoryInUse();
    make(kContexts, handles);
    winsim::clearJournal();
    MemoryUse after = memoryInUse();
    state.counters["heap_bytes_per_context"] =
        (after.heap - before.heap) / static_cast<double>(handles.size());
    state.counters["rss_bytes_per_context"] =
        (after.resident - before.resident) / static_cast<double>(handles.size());
    freeContexts(natives(), *family, handles);
    handles.clear();
  }
}

}  // namespace

void registerMemoryBenchmarks() {
  auto familyMaker = [](const Family &family) -> Maker {
    return [&family](size_t count, std::vector<jint> &handles) {
      createContexts(natives(), family, count, handles);
    };
  };
  for (const Family *family : families()) {
    benchmark::RegisterBenchmark((std::string("memory/") + family->name).c_str(), perContext, family,
                                 familyMaker(*family))
        ->Iterations(1)
        ->Repetitions(1);
  }
  benchmark::RegisterBenchmark("memory/sspi-established", perContext, &kSspiFamily,
                               Maker(makeEstablishedPairs))
      ->Iterations(1)
      ->Repetitions(1);
}

}  // namespace ntseclink_bench
