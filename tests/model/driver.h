// The driver of the model-based random test: it picks native calls, predicts
// each with the reference model (reference.h), makes it through the JNI host,
// and compares. Its operations are in the family folders.
#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <winsim/control.h>

#include "jni_host.h"
#include "natives.h"
#include "random_calls.h"
#include "reference.h"

namespace ntseclink_model {

// A difference between the library and the model: it ends the run.
struct Mismatch : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A byte array argument: null, or bytes with what they mean to the model.
template <typename Meaning>
struct Bytes {
  bool isNull = false;
  std::vector<uint8_t> bytes;
  Meaning meaning;
  std::string label;
};

// A text argument as the failure message shows it.
inline std::string quoted(const std::optional<std::u16string> &text) {
  return text ? "\"" + describeText(*text) + "\"" : "null";
}

class Driver {
 public:
  Driver(uint64_t seed, std::string libraryPath)
      : seed_(seed), rng_(seed), libraryPath_(std::move(libraryPath)) {}

  RunResult run(long calls, const std::filesystem::path &root);

 private:
  // ---- Randomness
  size_t below(size_t count) { return static_cast<size_t>(rng_() % count); }
  bool chance(size_t percent) { return below(100) < percent; }
  template <typename T>
  const T &pick(const std::vector<T> &choices) {
    return choices[below(choices.size())];
  }

  // ---- The library and the checks after every call
  void load(LoadFault fault);
  void unload();
  [[noreturn]] void fail(const std::string &what, const std::string &difference) const;
  void checkMachine(const std::string &what);
  template <typename Predict>
  std::optional<Fault> chooseFault(Predict &predict, bool mustFail);
  template <typename Predict, typename Call>
  void step(const std::string &what, Predict predict, Call call, bool mustFail = false);

  // ---- Java values
  JNIEnv *env() { return jvm_->env(); }
  const jnihost::Natives &api() const { return *natives_; }
  jstring javaString(const std::optional<std::u16string> &text) {
    return text ? jvm_->newString(*text) : nullptr;
  }
  template <typename Meaning>
  jbyteArray javaBytes(const Bytes<Meaning> &argument) {
    return argument.isNull ? nullptr : jvm_->newByteArray(argument.bytes);
  }
  Outcome outcome(const std::string &result);
  Outcome onOtherThread(const std::function<void(JNIEnv *)> &call);
  Outcome stringOutcome(jstring text) {
    return outcome(text == nullptr ? "null" : "string " + describeText(jvm_->stringValue(text)));
  }
  Outcome intOutcome(jint number) { return outcome("int " + std::to_string(number)); }
  Outcome boolOutcome(jboolean answer) { return outcome(answer ? "bool true" : "bool false"); }

  // ---- Arguments
  int32_t oddHandle(const std::map<int32_t, UserEntry> &otherFamily);
  int32_t sspiHandle(const std::function<bool(const SspiEntry &)> &preferred);
  int32_t userHandle();
  Bytes<Token> tokenFor(bool toServer, Package package);
  Bytes<std::optional<Sealed>> message();
  std::optional<std::u16string> groupName();

  // ---- Operations, one native call each (reload: the library's)
  void createContext();
  void accept();
  void initialize();
  void challengeToken();
  void establishedValue();
  void freeContext();
  void impersonation();
  void identity();
  void clientIsMember();
  void wrap();
  void unwrap();
  void createUserContext();
  void userSid();
  void userIsMember();
  void freeUserContext();
  void registry();
  void machine();
  void productDirectories();
  void terminateRefused();
  void setCounter();
  void reload();
  void releaseEverything();

  struct Operation {
    size_t weight;
    void (Driver::*run)();
  };
  static const std::vector<Operation> &operations();

  uint64_t seed_;
  std::mt19937_64 rng_;
  std::string libraryPath_;
  ReferenceModel model_;
  std::unique_ptr<jnihost::Jvm> jvm_ = std::make_unique<jnihost::Jvm>();
  std::unique_ptr<jnihost::NativeLibrary> library_;
  std::unique_ptr<jnihost::Natives> natives_;
  long calls_ = 0;
  int32_t lastFreedSspi_ = 0;
  int32_t lastFreedUser_ = 0;
  std::vector<Bytes<Token>> tokens_;
  std::vector<Bytes<std::optional<Sealed>>> messages_;
};

// ---- Steps --------------------------------------------------------------------

// One platform call on the native's way, made to fail now and then: a dry
// run of the prediction finds the calls the native makes.
template <typename Predict>
std::optional<Fault> Driver::chooseFault(Predict &predict, bool mustFail) {
  ReferenceModel dry = model_;
  PlatformPath probe;
  predict(dry, probe);
  if (probe.points().empty() || (!mustFail && !chance(15))) {
    return std::nullopt;
  }
  const FaultPoint &point = pick(probe.points());
  return Fault{point.function, point.nth, pick(point.codes)};
}

template <typename Predict, typename Call>
void Driver::step(const std::string &what, Predict predict, Call call, bool mustFail) {
  ++calls_;
  std::optional<Fault> fault = chooseFault(predict, mustFail);
  PlatformPath path(fault);
  Outcome expected = predict(model_, path);
  std::string described = what;
  if (fault) {
    char code[16];
    std::snprintf(code, sizeof code, "%08x", fault->code);
    described += " with " + fault->function + " #" + std::to_string(fault->nth) + " failing " + code;
    winsim::failCall(fault->function, fault->code, fault->nth);
  }
  Outcome actual = call();
  bool reached = winsim::pendingFaults() == 0;
  winsim::clearFaults();
  if (!(actual == expected)) {
    fail(described, "expected " + expected.describe() + ", got " + actual.describe());
  }
  if (fault && reached != path.faultReached()) {
    fail(described,
         reached ? "the native made a call the model does not expect" : "the failing call was not made");
  }
  checkMachine(described);
}

}  // namespace ntseclink_model
