// The cost of a native that only finds a context by its handle, with 1,
// 1,000 and 100,000 contexts of its family live: the table promises the same
// cost whatever the count. Three copies of the library, loaded side by side,
// hold the three populations at once, so that each round times a batch on
// every one of them in turn and their ratio is taken under the same load.
#include <windows.h>
#include <benchmark/benchmark.h>
#include <winsim/control.h>

#include <algorithm>
#include <random>
#include <vector>

#include "benchmarks.h"
#include "host_session.h"
#include "paired_rounds.h"
#include "populations.h"

namespace ntseclink_bench {

namespace {

const size_t kLiveCounts[] = {1, 1000, 100000};
constexpr size_t kTables = std::size(kLiveCounts);
constexpr int kRounds = 31;
constexpr int kCallsPerBatch = 2000;

enum class Access {
  Hot,     // the same context every call: the record stays in the caches
  Spread,  // every live context in turn, in a shuffled order
  Miss,    // FreeHandle of handles no context carries
};

std::vector<jint> handlesFor(const std::vector<jint> &live, Access access) {
  std::vector<jint> handles = access == Access::Hot ? std::vector<jint>{live.front()} : live;
  if (access == Access::Spread) {
    std::shuffle(handles.begin(), handles.end(), std::mt19937(8));
  }
  if (access == Access::Miss) {
    std::transform(handles.begin(), handles.end(), handles.begin(), [](jint handle) { return -handle; });
  }
  return handles;
}

// One copy of the library with its population, and where its batches are.
struct Table {
  const jnihost::Natives *api;
  std::vector<jint> handles;
  size_t next = 0;

  jint nextHandle() {
    jint handle = handles[next];
    next = next + 1 == handles.size() ? 0 : next + 1;
    return handle;
  }
};

// CPU nanoseconds per call over one batch, on a fresh host and journal.
double timeBatch(const Family &family, Access access, Table &table) {
  Host host(kCallsPerBatch + 1);
  jstring argument = host.string(family.lookUpArgument);
  winsim::clearJournal();
  double start = threadCpuNanoseconds();
  for (int i = 0; i < kCallsPerBatch; ++i) {
    if (access == Access::Miss) {
      family.free(*table.api, host.env(), table.nextHandle());
    } else {
      family.lookUp(*table.api, host.env(), table.nextHandle(), argument);
    }
  }
  double elapsed = threadCpuNanoseconds() - start;
  host.check();
  return elapsed / kCallsPerBatch;
}

void lookUp(benchmark::State &state, const Family *family, Access access) {
  std::vector<Table> tables;
  for (size_t i = 0; i < kTables; ++i) {
    const jnihost::Natives &api = libraryCopy(static_cast<int>(i));
    tables.push_back({&api, handlesFor(population(api, *family, kLiveCounts[i]), access)});
  }
  std::vector<Batch> batches;
  for (Table &table : tables) {
    batches.push_back([family, access, &table] { return timeBatch(*family, access, table); });
  }
  PairedRounds rounds(state, batches);
  for (size_t i = 0; i < kTables; ++i) {
    std::string live = std::to_string(kLiveCounts[i]);
    state.counters["ns_" + live] = rounds.medianNanoseconds(i);
    state.counters["ratio_" + live] = rounds.medianRatio(i, 0);
  }
}

// What any table pays as it grows: one read of a record of about a context's
// size, each read naming the next record, in a random cycle through all of
// them, so that no read can start before the one before it ends.
void chaseRecords(benchmark::State &state) {
  struct Record {
    size_t next;
    char rest[248];
  };
  std::vector<Record> records(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < records.size(); ++i) {
    records[i].next = i;
  }
  std::mt19937 random(8);
  // Sattolo's shuffle: one cycle through every record.
  for (size_t i = records.size() - 1; i > 0; --i) {
    std::swap(records[i].next, records[std::uniform_int_distribution<size_t>(0, i - 1)(random)].next);
  }
  size_t current = 0;
  for (auto _ : state) {
    current = records[current].next;
    benchmark::DoNotOptimize(current);
  }
}

// The library's lock alone: a critical section of the simulated platform,
// which journals both calls.
void lockAlone(benchmark::State &state) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  int calls = 0;
  for (auto _ : state) {
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    if (++calls % 1024 == 0) {
      state.PauseTiming();
      winsim::clearJournal();
      state.ResumeTiming();
    }
  }
  DeleteCriticalSection(&section);
}

}  // namespace

void registerLookupBenchmarks() {
  benchmark::RegisterBenchmark("lookup/reference/record-chase", chaseRecords)->Arg(1)->Arg(1000)->Arg(100000);
  benchmark::RegisterBenchmark("lookup/reference/lock", lockAlone);
  const std::pair<Access, const char *> accesses[] = {
      {Access::Hot, "hot"}, {Access::Spread, "spread"}, {Access::Miss, "miss"}};
  for (const Family *family : families()) {
    for (const auto &[access, accessName] : accesses) {
      std::string name = std::string("lookup/") + family->name + "/" + accessName;
      benchmark::RegisterBenchmark(name.c_str(), lookUp, family, access)->Iterations(kRounds)->Repetitions(1);
    }
  }
}

}  // namespace ntseclink_bench
