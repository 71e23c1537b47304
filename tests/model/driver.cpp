// The driver's common part: the checks after every call, the arguments
// several families take, the library's own life (counters, unload and load)
// and the run itself.
#include "driver.h"

#include <unistd.h>

#include <limits>
#include <thread>

namespace ntseclink_model {

namespace {

constexpr int32_t kMaxHandle = std::numeric_limits<int32_t>::max();
// The JNI host keeps every object it made; a fresh one now and then keeps a
// long run's memory flat.
constexpr long kCallsPerJvm = 256;

}  // namespace

// ---- The library and the checks ---------------------------------------------------

void Driver::load(LoadFault fault) {
  static const char *const kFailing[] = {"", "AuthzInitializeResourceManager", "GetComputerNameExW",
                                         "LookupAccountSidW"};
  if (fault != LoadFault::None) {
    winsim::failCall(kFailing[static_cast<int>(fault)], ERROR_ACCESS_DENIED);
  }
  library_ = std::make_unique<jnihost::NativeLibrary>(libraryPath_);
  natives_ = std::make_unique<jnihost::Natives>(*library_);
  bool reached = winsim::pendingFaults() == 0;
  winsim::clearFaults();
  if (!reached) {
    fail(std::string("load with ") + kFailing[static_cast<int>(fault)] + " failing",
         "the fault was not reached");
  }
  model_.load(fault);
}

void Driver::unload() {
  natives_.reset();
  library_.reset();
  model_.unload();
}

void Driver::fail(const std::string &what, const std::string &difference) const {
  throw Mismatch("seed " + std::to_string(seed_) + ", call " + std::to_string(calls_) + ": " + what + ": " +
                 difference);
}

void Driver::checkMachine(const std::string &what) {
  std::string live = winsim::liveCounts().describe();
  if (live != model_.expectedLiveCounts()) {
    fail(what, "live resources " + live + ", expected " + model_.expectedLiveCounts());
  }
  if (winsim::threadImpersonating() != model_.threadImpersonating()) {
    fail(what,
         std::string("the thread is ") + (model_.threadImpersonating() ? "not " : "") + "impersonating");
  }
  if (calls_ % kCallsPerJvm == 0) {
    if (!jvm_->violations().empty() || jvm_->outstandingPins() != 0 || jvm_->liveClassRefs() != 0) {
      std::string first =
          jvm_->violations().empty() ? "pins or class references left" : jvm_->violations()[0];
      fail(what, "JNI misuse: " + first);
    }
    jvm_ = std::make_unique<jnihost::Jvm>();
  }
}

Outcome Driver::outcome(const std::string &result) {
  std::optional<jnihost::Exception> pending = jvm_->pendingException();
  jvm_->clearException();
  return Outcome{pending ? pending->className + ": " + pending->message : "", result};
}

// A void native on a thread of its own, as another Java thread calls it; a
// thread it leaves impersonating makes the outcome one no model predicts.
Outcome Driver::onOtherThread(const std::function<void(JNIEnv *)> &call) {
  Outcome result;
  std::thread([&call, &result] {
    jnihost::Jvm other;
    call(other.env());
    std::optional<jnihost::Exception> pending = other.pendingException();
    result.exception = pending ? pending->className + ": " + pending->message : "";
    result.result = winsim::threadImpersonating() ? "void, its thread left impersonating" : "void";
  }).join();
  return result;
}

// ---- Arguments ---------------------------------------------------------------------

// A handle no live context of the family is expected to carry, or one of the
// other family's.
int32_t Driver::oddHandle(const std::map<int32_t, UserEntry> &otherFamily) {
  std::vector<int32_t> odd = {0,
                              -1,
                              std::numeric_limits<int32_t>::min(),
                              kMaxHandle,
                              lastFreedSspi_,
                              lastFreedUser_,
                              static_cast<int32_t>(1 + below(64))};
  for (const auto &[handle, entry] : otherFamily) {
    odd.push_back(handle);
  }
  return pick(odd);
}

int32_t Driver::sspiHandle(const std::function<bool(const SspiEntry &)> &preferred) {
  std::vector<int32_t> fitting;
  std::vector<int32_t> live;
  for (const auto &[handle, entry] : model_.sspiEntries()) {
    live.push_back(handle);
    if (preferred(entry)) {
      fitting.push_back(handle);
    }
  }
  if (!fitting.empty() && chance(80)) {
    return pick(fitting);
  }
  if (!live.empty() && chance(75)) {
    return pick(live);
  }
  return oddHandle(model_.userEntries());
}

int32_t Driver::userHandle() {
  std::vector<int32_t> live;
  for (const auto &[handle, entry] : model_.userEntries()) {
    live.push_back(handle);
  }
  if (!live.empty() && chance(80)) {
    return pick(live);
  }
  std::map<int32_t, UserEntry> sspiNumbers;
  for (const auto &[handle, entry] : model_.sspiEntries()) {
    sspiNumbers[handle] = UserEntry{};
  }
  return oddHandle(sspiNumbers);
}

// Mostly a token a peer of the right role and package produced, the latest
// often, so that handshakes make progress; otherwise anything.
std::optional<std::u16string> Driver::groupName() {
  static const std::vector<std::optional<std::u16string>> kGroups = {u"BUILTIN\\Administrators",
                                                                     u"builtin\\users",
                                                                     u"CORVANE\\Engineering",
                                                                     u"CORVANE\\Domain Users",
                                                                     u"WKS01\\LocalOps",
                                                                     u"Administrators",
                                                                     u"LocalOps",
                                                                     u"Engineering",
                                                                     u"CORVANE\\alice",
                                                                     u"CORVANE\\ghost",
                                                                     u"",
                                                                     u"Everyone",
                                                                     std::u16string(u"Users\0x", 7),
                                                                     std::nullopt};
  return pick(kGroups);
}

// ---- The library's own life -----------------------------------------------------------

// The counters near their limit, or just below a live handle, so that the
// next creations wrap and skip handles still in use.
void Driver::setCounter() {
  bool sspi = chance(50);
  std::vector<int32_t> values = {kMaxHandle, kMaxHandle - 1, kMaxHandle - 2, 1};
  if (sspi) {
    for (const auto &[handle, entry] : model_.sspiEntries()) {
      values.push_back(handle > 1 ? handle - 1 : 1);
    }
  } else {
    for (const auto &[handle, entry] : model_.userEntries()) {
      values.push_back(handle > 1 ? handle - 1 : 1);
    }
  }
  int32_t value = pick(values);
  const char *hook = sspi ? "ntseclink_setSspiHandleCounter" : "ntseclink_setUserHandleCounter";
  auto setter = library_->function<void (*)(jint)>(hook);
  if (setter == nullptr) {
    fail(hook, "the library does not export it");
  }
  setter(value);
  if (sspi) {
    model_.setSspiCounter(value);
  } else {
    model_.setUserCounter(value);
  }
}

void Driver::releaseEverything() {
  std::vector<int32_t> sspi;
  for (const auto &[handle, entry] : model_.sspiEntries()) {
    sspi.push_back(handle);
  }
  for (int32_t handle : sspi) {
    step(
        "SSPI.FreeHandle(" + std::to_string(handle) + ") before unload",
        [&](ReferenceModel &model, PlatformPath &) { return model.freeContext(handle, false); },
        [&] {
          api().SSPI_FreeHandle(env(), nullptr, handle);
          return outcome("void");
        });
  }
}

// Unload and load again, usually with every SSPI context released first (an
// open one keeps its platform handles), sometimes with a failing load step.
void Driver::reload() {
  if (chance(75)) {
    releaseEverything();
  }
  static const std::vector<LoadFault> kFaults = {LoadFault::None,         LoadFault::None,
                                                 LoadFault::None,         LoadFault::None,
                                                 LoadFault::None,         LoadFault::ResourceManager,
                                                 LoadFault::ComputerName, LoadFault::BuiltinDomain};
  LoadFault fault = pick(kFaults);
  unload();
  checkMachine("unload");
  load(fault);
  checkMachine("load with fault " + std::to_string(static_cast<int>(fault)));
}

const std::vector<Driver::Operation> &Driver::operations() {
  static const std::vector<Operation> kOperations = {
      {10, &Driver::createContext},   {9, &Driver::accept},
      {7, &Driver::initialize},       {12, &Driver::challengeToken},
      {4, &Driver::establishedValue}, {5, &Driver::freeContext},
      {6, &Driver::impersonation},    {4, &Driver::identity},
      {3, &Driver::clientIsMember},   {6, &Driver::wrap},
      {6, &Driver::unwrap},           {4, &Driver::createUserContext},
      {2, &Driver::userSid},          {4, &Driver::userIsMember},
      {3, &Driver::freeUserContext},  {4, &Driver::registry},
      {2, &Driver::machine},          {1, &Driver::productDirectories},
      {1, &Driver::terminateRefused}, {1, &Driver::setCounter},
      {1, &Driver::reload},
  };
  return kOperations;
}

RunResult Driver::run(long calls, const std::filesystem::path &root) {
  winsim::resetMachine();
  winsim::setFileSystemRoot(root.string());
  winsim::createRegistryKey(winsim::RegistryView::Native64, ReferenceModel::kRegistryKey);
  size_t totalWeight = 0;
  for (const Operation &operation : operations()) {
    totalWeight += operation.weight;
  }
  RunResult result;
  try {
    load(LoadFault::None);
    while (calls_ < calls) {
      size_t roll = below(totalWeight);
      for (const Operation &operation : operations()) {
        if (roll < operation.weight) {
          (this->*operation.run)();
          break;
        }
        roll -= operation.weight;
      }
    }
    releaseEverything();
    for (const auto &[handle, entry] : std::map<int32_t, UserEntry>(model_.userEntries())) {
      step(
          "UserAuth.FreeHandle(" + std::to_string(handle) + ") at the end",
          [&](ReferenceModel &model, PlatformPath &) { return model.freeUserContext(handle); },
          [&] {
            api().UserAuth_FreeHandle(env(), nullptr, handle);
            return outcome("void");
          });
    }
    unload();
    checkMachine("the final unload");
  } catch (const Mismatch &mismatch) {
    result.passed = false;
    result.failure = mismatch.what();
  } catch (const std::exception &unexpected) {
    result.passed = false;
    result.failure =
        "seed " + std::to_string(seed_) + ", call " + std::to_string(calls_) + ": " + unexpected.what();
  }
  result.calls = calls_;
  return result;
}

RunResult runRandomCalls(uint64_t seed, long calls, const std::string &libraryPath,
                         const std::string &scratchDirectory) {
  std::filesystem::path root = std::filesystem::path(scratchDirectory) /
                               ("ntseclink-model-" + std::to_string(getpid()) + "-" + std::to_string(seed));
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  RunResult result = Driver(seed, libraryPath).run(calls, root);
  std::filesystem::remove_all(root);
  winsim::resetMachine();
  return result;
}

}  // namespace ntseclink_model
