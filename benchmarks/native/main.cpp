// Runs the benchmarks of the natives on the simulated platform, then prints
// the figures. Exits with 2 when the table's lookup cost grew beyond its
// bound.
#include <exception>
#include <iostream>

#include "benchmarks.h"
#include "figures_reporter.h"
#include "host_session.h"
#include "populations.h"

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  ntseclink_bench::registerLookupBenchmarks();
  ntseclink_bench::registerMessageBenchmarks();
  ntseclink_bench::registerHandshakeBenchmarks();
  ntseclink_bench::registerMemoryBenchmarks();
  ntseclink_bench::registerScalingBenchmarks();
  ntseclink_bench::FiguresReporter reporter;
  try {
    ntseclink_bench::natives();  // loaded before any timing starts
    benchmark::RunSpecifiedBenchmarks(&reporter);
    ntseclink_bench::releasePopulations();
  } catch (const std::exception &error) {
    std::cerr << "benchmark failed: " << error.what() << "\n";
    return 1;
  }
  benchmark::Shutdown();
  return reporter.lookupsHold() ? 0 : 2;
}
