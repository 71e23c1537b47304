// The console report, followed by the figures the benchmarks exist for:
// ratios of medians measured in this same run, as Markdown tables.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace ntseclink_bench {

// The bound the lookup cost may grow by from 1 to 100,000 live contexts.
constexpr double kLookupBound = 1.5;

class FiguresReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override;
  void Finalize() override;

  // False when the cost of looking up the same context again and again grew
  // by more than kLookupBound: the table's own cost, apart from the caches.
  bool lookupsHold() const { return lookupsHold_; }

 private:
  const Run *find(const std::string &name) const;
  double cpuNanoseconds(const std::string &name) const;
  double counter(const std::string &name, const char *counterName) const;

  void printLookups(std::ostream &out);
  void printMessages(std::ostream &out) const;
  void printHandshakes(std::ostream &out) const;
  void printMemory(std::ostream &out) const;
  void printScaling(std::ostream &out) const;

  std::map<std::string, Run> medians_;
  bool lookupsHold_ = true;
};

}  // namespace ntseclink_bench
