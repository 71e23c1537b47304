#include "figures_reporter.h"

#include <cmath>
#include <iomanip>
#include <map>
#include <sstream>

namespace ntseclink_bench {

namespace {

// A run's name without its repetition and timing suffixes:
// "lookup/sspi/hot/1000", "handshakes/natives/NTLM/threads:2".
std::string nameOf(const benchmark::BenchmarkReporter::Run &run) {
  std::string name = run.run_name.function_name;
  for (const std::string *part : {&run.run_name.args, &run.run_name.threads}) {
    if (!part->empty()) {
      name += "/" + *part;
    }
  }
  return name;
}

std::string fixed(double value, int decimals) {
  if (std::isnan(value)) {
    return "n/a";
  }
  std::ostringstream text;
  text << std::fixed << std::setprecision(decimals) << value;
  return text.str();
}

const char *const kPackages[] = {"NTLM", "Kerberos"};

}  // namespace

void FiguresReporter::ReportRuns(const std::vector<Run> &runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run &run : runs) {
    bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
    bool single = run.run_type == Run::RT_Iteration && run.repetitions == 1;
    if (!run.error_occurred && (median || single)) {
      medians_.insert_or_assign(nameOf(run), run);
    }
  }
}

void FiguresReporter::Finalize() {
  ConsoleReporter::Finalize();
  std::ostream &out = GetOutputStream();
  printLookups(out);
  printMessages(out);
  printHandshakes(out);
  printMemory(out);
  printScaling(out);
}

const benchmark::BenchmarkReporter::Run *FiguresReporter::find(const std::string &name) const {
  auto found = medians_.find(name);
  return found == medians_.end() ? nullptr : &found->second;
}

// The thread's CPU time: on a machine shared with other work it does not
// count the time the benchmark waited for a core.
double FiguresReporter::cpuNanoseconds(const std::string &name) const {
  const Run *run = find(name);
  return run == nullptr ? NAN
                        : run->GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run->time_unit) * 1e9;
}

double FiguresReporter::counter(const std::string &name, const char *counterName) const {
  const Run *run = find(name);
  if (run == nullptr || run->counters.count(counterName) == 0) {
    return NAN;
  }
  return run->counters.at(counterName).value;
}

void FiguresReporter::printLookups(std::ostream &out) {
  out << "\nLookups, CPU ns per call with N contexts of the family live (median of rounds; ratios are "
         "medians of\n"
      << "the ratios within each round)\n\n"
      << "| family / access | N=1 | N=1,000 | N=100,000 | 1,000 / 1 | 100,000 / 1 |\n"
      << "|---|---:|---:|---:|---:|---:|\n";
  std::map<std::string, bool> holds{{"hot", true}, {"spread", true}, {"miss", true}};
  for (const char *family : {"sspi", "userauth"}) {
    for (const char *access : {"hot", "spread", "miss"}) {
      std::string name = std::string("lookup/") + family + "/" + access;
      double growth = counter(name, "ratio_100000");
      if (growth > kLookupBound) {
        holds[access] = false;
      }
      out << "| " << family << " / " << access << " | " << fixed(counter(name, "ns_1"), 0) << " | "
          << fixed(counter(name, "ns_1000"), 0) << " | " << fixed(counter(name, "ns_100000"), 0) << " | "
          << fixed(counter(name, "ratio_1000"), 2) << " | " << fixed(growth, 2) << " |\n";
    }
  }
  std::string reference = "lookup/reference/record-chase";
  double one = cpuNanoseconds(reference + "/1");
  double thousand = cpuNanoseconds(reference + "/1000");
  double hundredThousand = cpuNanoseconds(reference + "/100000");
  out << "| reference: one dependent read of a random 256-byte record | " << fixed(one, 1) << " | "
      << fixed(thousand, 1) << " | " << fixed(hundredThousand, 1) << " | " << fixed(thousand / one, 2)
      << " | " << fixed(hundredThousand / one, 2) << " |\n"
      << "\nThe library's lock alone (the simulated platform's critical section, entered and left): "
      << fixed(cpuNanoseconds("lookup/reference/lock"), 0) << " ns\n\nCost within " << kLookupBound
      << " times from 1 to 100,000 live contexts:\n";
  for (const auto &[access, held] : holds) {
    out << "- " << access << ": " << (held ? "yes" : "NO") << "\n";
  }
  lookupsHold_ = holds["hot"];
}

void FiguresReporter::printMessages(std::ostream &out) const {
  out << "\nWrap + Unwrap, CPU us per message (medians of rounds)\n\n"
      << "| package | size (B) | natives | package calls alone | natives / package |\n"
      << "|---|---:|---:|---:|---:|\n";
  for (const char *package : kPackages) {
    for (const char *size : {"64", "4096", "1048576"}) {
      std::string name = std::string("messages/") + package + "/" + size;
      out << "| " << package << " | " << size << " | " << fixed(counter(name, "us_natives"), 2) << " | "
          << fixed(counter(name, "us_package"), 2) << " | " << fixed(counter(name, "ratio"), 2) << " |\n";
    }
  }
}

void FiguresReporter::printHandshakes(std::ostream &out) const {
  out << "\nFull handshakes per second, wall-clock (creation to release of both contexts; medians of "
         "rounds)\n\n"
      << "| package | by | 1 thread | 2 threads | 2 threads / 1 | natives / package, time on 1 thread |\n"
      << "|---|---|---:|---:|---:|---:|\n";
  for (const char *package : kPackages) {
    std::string name = std::string("handshakes/") + package;
    out << "| " << package << " | natives | " << fixed(counter(name, "per_s_natives_1"), 0) << " | "
        << fixed(counter(name, "per_s_natives_2"), 0) << " | " << fixed(counter(name, "scaling_natives"), 2)
        << " | " << fixed(counter(name, "natives_over_package"), 2) << " |\n"
        << "| " << package << " | package calls alone | " << fixed(counter(name, "per_s_package_1"), 0)
        << " | " << fixed(counter(name, "per_s_package_2"), 0) << " | "
        << fixed(counter(name, "scaling_package"), 2) << " | |\n";
  }
}

void FiguresReporter::printMemory(std::ostream &out) const {
  out << "\nMemory per live context (100,000 contexts; library, simulated platform and host)\n\n"
      << "| contexts | heap bytes per context | RSS bytes per context |\n"
      << "|---|---:|---:|\n";
  for (const char *kind : {"sspi", "sspi-established", "userauth"}) {
    std::string name = std::string("memory/") + kind;
    out << "| " << kind << " | " << fixed(counter(name, "heap_bytes_per_context"), 0) << " | "
        << fixed(counter(name, "rss_bytes_per_context"), 0) << " |\n";
  }
}

// Handshakes (or user contexts) per second on 8 threads over 1, with a
// latency on the package calls.
void FiguresReporter::printScaling(std::ostream &out) const {
  out << "\n";
  for (const char *name : {"NTLM", "Kerberos", "user-contexts"}) {
    std::string run = std::string("scaling/") + name;
    out << "scaling: " << name << " 8 threads / 1 = " << fixed(counter(run, "scaling"), 2) << " (latency "
        << fixed(counter(run, "latency_us"), 0) << " us)\n";
  }
}

}  // namespace ntseclink_bench
