// The model-based random test as a command of its own, for long runs:
//   random_test [--seed S] [--calls N]
// A failure prints the seed and the failing call, so the same command with
// that seed reproduces it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "random_calls.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: random_test [--seed S] [--calls N]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  uint64_t seed = 1;
  long calls = 1000000;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (i + 1 >= argc) {
      return usage();
    }
    if (option == "--seed") {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (option == "--calls") {
      calls = std::strtol(argv[++i], nullptr, 10);
    } else {
      return usage();
    }
  }
  auto start = std::chrono::steady_clock::now();
  ntseclink_model::RunResult result = ntseclink_model::runRandomCalls(
      seed, calls, NTSECLINK_LIBRARY_PATH, std::filesystem::temp_directory_path().string());
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!result.passed) {
    std::fprintf(stderr, "FAILED: %s\nreproduce: scripts/random-test.sh --seed %llu --calls %ld\n",
                 result.failure.c_str(), static_cast<unsigned long long>(seed), calls);
    return 1;
  }
  std::printf("passed: seed %llu, %ld calls in %.1f s\n", static_cast<unsigned long long>(seed), result.calls,
              seconds);
  return 0;
}
