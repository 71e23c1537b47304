// Long random sequences of native calls against the library on the simulated
// platform, each compared with the reference model: result, exception class
// and message, the platform call made to fail, the calling thread's
// impersonation and the live platform resources. A run is fixed by its seed.
#pragma once

#include <cstdint>
#include <string>

namespace ntseclink_model {

struct RunResult {
  bool passed = true;
  long calls = 0;
  // The seed, the failing call's number and what it was, and what differed.
  std::string failure;
};

// Runs `calls` native calls chosen by `seed` against the library at
// `libraryPath`, on a simulated machine reset first, with its drive C: in a
// fresh directory under `scratchDirectory`.
RunResult runRandomCalls(uint64_t seed, long calls, const std::string &libraryPath,
                         const std::string &scratchDirectory);

}  // namespace ntseclink_model
