#include "paired_rounds.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace ntseclink_bench {

namespace {

double median(std::vector<double> values) {
  auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

}  // namespace

PairedRounds::PairedRounds(benchmark::State &state, const std::vector<Batch> &candidates)
    : nanoseconds_(candidates.size()) {
  size_t round = 0;
  for (auto _ : state) {
    for (size_t step = 0; step < candidates.size(); ++step) {
      size_t candidate = (round + step) % candidates.size();
      nanoseconds_[candidate].push_back(candidates[candidate]());
    }
    ++round;
  }
}

double PairedRounds::medianNanoseconds(size_t candidate) const {
  return median(nanoseconds_[candidate]);
}

double PairedRounds::medianRatio(size_t candidate, size_t base) const {
  std::vector<double> ratios;
  for (size_t round = 0; round < nanoseconds_[base].size(); ++round) {
    ratios.push_back(nanoseconds_[candidate][round] / nanoseconds_[base][round]);
  }
  return median(ratios);
}

double threadCpuNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

double wallNanoseconds() {
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double wallNanosecondsShared(const std::function<void(int count)> &work, int calls, int threads) {
  double start = wallNanoseconds();
  std::vector<std::thread> others;
  for (int i = 1; i < threads; ++i) {
    others.emplace_back(work, calls / threads);
  }
  work(calls / threads);
  for (std::thread &other : others) {
    other.join();
  }
  return (wallNanoseconds() - start) / calls;
}

}  // namespace ntseclink_bench
