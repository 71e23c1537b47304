// A short seeded run of the model-based random test; scripts/random-test.sh
// runs long ones.
#include <gtest/gtest.h>

#include <filesystem>

#include "random_calls.h"

namespace ntseclink_test {
namespace {

constexpr long kCalls = 25000;

TEST(ModelRandom, EveryCallAnswersAsTheModelSays) {
  for (uint64_t seed : {1u, 2u, 3u, 4u}) {
    ntseclink_model::RunResult result = ntseclink_model::runRandomCalls(
        seed, kCalls, NTSECLINK_LIBRARY_PATH, std::filesystem::temp_directory_path().string());
    EXPECT_TRUE(result.passed) << result.failure << "\nreproduce: scripts/random-test.sh --seed " << seed
                               << " --calls " << kCalls;
    EXPECT_GE(result.calls, kCalls);
  }
}

}  // namespace
}  // namespace ntseclink_test
