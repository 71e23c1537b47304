// Ratios that hold on a loaded machine: each round runs one batch of every
// candidate in turn, starting with a different one each round, so that a
// change of load between rounds touches them all alike; a figure is the
// median over rounds of the ratio within each round.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

namespace ntseclink_bench {

// Runs one batch of a candidate; returns nanoseconds per call.
using Batch = std::function<double()>;

class PairedRounds {
 public:
  // One round per iteration of the benchmark's loop.
  PairedRounds(benchmark::State &state, const std::vector<Batch> &candidates);

  double medianNanoseconds(size_t candidate) const;
  // Median over rounds of candidate's time divided by base's.
  double medianRatio(size_t candidate, size_t base) const;

 private:
  std::vector<std::vector<double>> nanoseconds_;  // [candidate][round]
};

// The calling thread's CPU time, which leaves out the time it waited for a
// core, and the wall-clock time, for batches that run on several threads.
double threadCpuNanoseconds();
double wallNanoseconds();

// Wall-clock nanoseconds per call of `calls` calls shared out evenly among
// `threads` threads, the calling one among them; `work` makes `count` calls.
double wallNanosecondsShared(const std::function<void(int count)> &work, int calls, int threads);

}  // namespace ntseclink_bench
