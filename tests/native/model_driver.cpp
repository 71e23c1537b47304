#include "model_driver.h"

#include <unistd.h>
#include <winsim/control.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "jni_host.h"
#include "model_reference.h"
#include "natives.h"

namespace ntseclink_model {

namespace {

constexpr int32_t kMaxHandle = std::numeric_limits<int32_t>::max();
constexpr size_t kPoolSize = 24;
// The JNI host keeps every object it made; a fresh one now and then keeps a
// long run's memory flat.
constexpr long kCallsPerJvm = 256;

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

const char *kindName(Token::Kind kind) {
  static const char *const kNames[] = {
      "empty", "garbage", "ntlm-negotiate", "ntlm-challenge", "ntlm-authenticate", "ap-request", "ap-reply"};
  return kNames[static_cast<int>(kind)];
}

bool fromServer(Token::Kind kind) {
  return kind == Token::Kind::NtlmChallenge || kind == Token::Kind::ApReply;
}

std::string quoted(const std::optional<std::u16string> &text) {
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
Bytes<Token> Driver::tokenFor(bool toServer, Package package) {
  size_t roll = below(100);
  if (roll < 6) {
    return Bytes<Token>{true, {}, Token{}, "null"};
  }
  if (roll < 11) {
    return Bytes<Token>{false, {}, Token{}, "empty"};
  }
  Bytes<Token> garbage{false, {}, Token{Token::Kind::Garbage}, "garbage"};
  if (roll < 18 || tokens_.empty()) {
    garbage.bytes.resize(1 + below(48));
    for (uint8_t &byte : garbage.bytes) {
      byte = static_cast<uint8_t>(below(256));
    }
    return garbage;
  }
  if (roll < 24) {
    garbage.bytes = pick(tokens_).bytes;
    garbage.bytes[below(garbage.bytes.size())] ^= 0x20;
    garbage.label = "changed token";
    return garbage;
  }
  std::vector<const Bytes<Token> *> fitting;
  for (const Bytes<Token> &token : tokens_) {
    if (fromServer(token.meaning.kind) != toServer && token.meaning.package == package) {
      fitting.push_back(&token);
    }
  }
  if (fitting.empty() || chance(15)) {
    return pick(tokens_);
  }
  return chance(50) ? *fitting.back() : *pick(fitting);
}

// A message some context sealed, often changed on the way; or zeros.
Bytes<std::optional<Sealed>> Driver::message() {
  size_t roll = below(100);
  if (roll < 6) {
    return Bytes<std::optional<Sealed>>{true, {}, std::nullopt, "null"};
  }
  if (roll < 16 || messages_.empty()) {
    Sealed zeros;
    zeros.length = below(40);
    return Bytes<std::optional<Sealed>>{false, std::vector<uint8_t>(zeros.length, 0), zeros, "zeros"};
  }
  Bytes<std::optional<Sealed>> message = chance(50) ? messages_.back() : pick(messages_);
  size_t form = below(10);
  if (form == 0) {
    message.bytes.resize(below(message.bytes.size()));
    message.meaning->form = Sealed::Form::Truncated;
  } else if (form == 1) {
    message.bytes.push_back(0);
    message.meaning->form = Sealed::Form::Extended;
  } else if (form == 2 && message.bytes.size() > 16) {
    message.bytes.back() ^= 0x5a;
    message.meaning->form = Sealed::Form::Flipped;
  }
  message.meaning->length = message.bytes.size();
  message.label += " of " + std::to_string(message.bytes.size()) + " bytes, form " + std::to_string(form);
  return message;
}

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

// ---- SSPI operations ---------------------------------------------------------------

void Driver::createContext() {
  if (model_.sspiEntries().size() > 40) {
    freeContext();
    return;
  }
  static const std::vector<std::optional<std::u16string>> kPackages = {
      std::nullopt, u"NTLM", u"NTLM",     u"Kerberos", u"Kerberos",
      u"Negotiate", u"",     u"kerberos", u"Bogus",    std::u16string(u"NTLM\0x", 6)};
  static const std::vector<std::optional<std::u16string>> kTargets = {std::nullopt,
                                                                      std::nullopt,
                                                                      u"HTTP/wks01.corvane.test",
                                                                      u"HTTP/wks01.corvane.test",
                                                                      u"host/WKS01",
                                                                      u"HTTP/elsewhere.example",
                                                                      u"",
                                                                      std::u16string(u"host/WKS01\0.x", 13)};
  static const std::vector<ULONG> kFlags = {0, 0x10, 0x12, 0x12, 0x0c, 0x20010, 0x2, 0x100};
  bool client = chance(55);
  ULONG flags = pick(kFlags);
  std::optional<std::u16string> package = pick(kPackages);
  std::optional<std::u16string> target = pick(kTargets);
  step(
      "SSPI.CreateContext(" + std::string(client ? "client" : "server") + ", " + std::to_string(flags) +
          ", " + quoted(package) + ", " + quoted(target) + ")",
      [&](ReferenceModel &model, PlatformPath &path) {
        return model.createContext(path, client, flags, package, target);
      },
      [&] {
        return intOutcome(api().SSPI_CreateContext(env(), nullptr, client ? JNI_TRUE : JNI_FALSE,
                                                   static_cast<jint>(flags), javaString(package),
                                                   javaString(target)));
      });
}

void Driver::accept() {
  int32_t handle = sspiHandle([](const SspiEntry &entry) {
    return !entry.client && (entry.state == State::Initial || entry.state == State::Negotiating);
  });
  auto entry = model_.sspiEntries().find(handle);
  Package package = entry == model_.sspiEntries().end() ? Package::Negotiate : entry->second.package;
  Bytes<Token> token = tokenFor(true, package);
  step(
      "SSPI.Accept(" + std::to_string(handle) + ", " + token.label + " " + kindName(token.meaning.kind) + ")",
      [&](ReferenceModel &model, PlatformPath &path) {
        return model.accept(path, handle, token.isNull ? std::nullopt : std::optional<Token>(token.meaning));
      },
      [&] { return boolOutcome(api().SSPI_Accept(env(), nullptr, handle, javaBytes(token))); });
}

void Driver::initialize() {
  int32_t handle =
      sspiHandle([](const SspiEntry &entry) { return entry.client && entry.state == State::Negotiating; });
  auto entry = model_.sspiEntries().find(handle);
  Package package = entry == model_.sspiEntries().end() ? Package::Negotiate : entry->second.package;
  Bytes<Token> token = tokenFor(false, package);
  step(
      "SSPI.Initialize(" + std::to_string(handle) + ", " + token.label + " " + kindName(token.meaning.kind) +
          ")",
      [&](ReferenceModel &model, PlatformPath &path) {
        return model.initialize(path, handle,
                                token.isNull ? std::nullopt : std::optional<Token>(token.meaning));
      },
      [&] { return boolOutcome(api().SSPI_Initialize(env(), nullptr, handle, javaBytes(token))); });
}

void Driver::challengeToken() {
  int32_t handle =
      sspiHandle([](const SspiEntry &entry) { return entry.lastToken.kind != Token::Kind::None; });
  std::vector<uint8_t> bytes;
  step(
      "SSPI.GetChallengeToken(" + std::to_string(handle) + ")",
      [&](ReferenceModel &model, PlatformPath &) { return model.challengeToken(handle); },
      [&] {
        jbyteArray token = api().SSPI_GetChallengeToken(env(), nullptr, handle);
        if (token == nullptr) {
          return outcome("null");
        }
        bytes = jvm_->bytes(token);
        return outcome(bytes.empty() ? "token empty" : "token some");
      });
  if (!bytes.empty()) {
    Token meaning = model_.sspiEntries().at(handle).lastToken;
    tokens_.push_back(Bytes<Token>{false, bytes, meaning, "token of " + std::to_string(handle)});
    if (tokens_.size() > kPoolSize) {
      tokens_.erase(tokens_.begin());
    }
  }
}

void Driver::establishedValue() {
  int32_t handle = sspiHandle([](const SspiEntry &entry) { return entry.state == State::Success; });
  if (chance(50)) {
    step(
        "SSPI.GetMaxTokenSize(" + std::to_string(handle) + ")",
        [&](ReferenceModel &model, PlatformPath &) { return model.maxTokenSize(handle); },
        [&] { return intOutcome(api().SSPI_GetMaxTokenSize(env(), nullptr, handle)); });
    return;
  }
  step(
      "SSPI.GetNegotiatedAttributes(" + std::to_string(handle) + ")",
      [&](ReferenceModel &model, PlatformPath &) { return model.negotiatedAttributes(handle); },
      [&] { return intOutcome(api().SSPI_GetNegotiatedAttributes(env(), nullptr, handle)); });
}

void Driver::freeContext() {
  int32_t handle = sspiHandle([](const SspiEntry &) { return true; });
  bool otherThread = chance(20);
  step(
      "SSPI.FreeHandle(" + std::to_string(handle) + ")" + (otherThread ? " on another thread" : ""),
      [&](ReferenceModel &model, PlatformPath &) { return model.freeContext(handle, otherThread); },
      [&] {
        auto call = [&](JNIEnv *callerEnv) { api().SSPI_FreeHandle(callerEnv, nullptr, handle); };
        if (otherThread) {
          return onOtherThread(call);
        }
        call(env());
        return outcome("void");
      });
  lastFreedSspi_ = handle;
}

void Driver::impersonation() {
  int32_t handle =
      sspiHandle([](const SspiEntry &entry) { return !entry.client && entry.state == State::Success; });
  if (chance(50)) {
    step(
        "SSPI.StartImpersonating(" + std::to_string(handle) + ")",
        [&](ReferenceModel &model, PlatformPath &path) { return model.startImpersonating(path, handle); },
        [&] {
          api().SSPI_StartImpersonating(env(), nullptr, handle);
          return outcome("void");
        });
    return;
  }
  bool otherThread = chance(20);
  step(
      "SSPI.StopImpersonating(" + std::to_string(handle) + ")" + (otherThread ? " on another thread" : ""),
      [&](ReferenceModel &model, PlatformPath &path) {
        return model.stopImpersonating(path, handle, otherThread);
      },
      [&] {
        auto call = [&](JNIEnv *callerEnv) { api().SSPI_StopImpersonating(callerEnv, nullptr, handle); };
        if (otherThread) {
          return onOtherThread(call);
        }
        call(env());
        return outcome("void");
      });
}

void Driver::identity() {
  int32_t handle =
      sspiHandle([](const SspiEntry &entry) { return !entry.client && entry.state == State::Success; });
  if (chance(50)) {
    step(
        "SSPI.GetClientUserName(" + std::to_string(handle) + ")",
        [&](ReferenceModel &model, PlatformPath &path) { return model.clientUserName(path, handle); },
        [&] { return stringOutcome(api().SSPI_GetClientUserName(env(), nullptr, handle)); });
    return;
  }
  step(
      "SSPI.GetContextInformation(" + std::to_string(handle) + ")",
      [&](ReferenceModel &model, PlatformPath &) { return model.contextReportHead(handle); },
      [&] {
        jstring report = api().SSPI_GetContextInformation(env(), nullptr, handle);
        if (report == nullptr) {
          return outcome("null");
        }
        // The lines after the third depend on the package.
        std::u16string text = jvm_->stringValue(report);
        size_t end = 0;
        for (int line = 0; line < 3 && end != std::u16string::npos; ++line) {
          end = text.find(u'\n', end == 0 ? 0 : end + 1);
        }
        return outcome("string " + describeText(text.substr(0, end)));
      });
}

void Driver::clientIsMember() {
  int32_t handle =
      sspiHandle([](const SspiEntry &entry) { return !entry.client && entry.state == State::Success; });
  std::optional<std::u16string> group = groupName();
  step(
      "SSPI.IsGroupMember(" + std::to_string(handle) + ", " + quoted(group) + ")",
      [&](ReferenceModel &model, PlatformPath &path) { return model.clientIsMember(path, handle, group); },
      [&] { return boolOutcome(api().SSPI_IsGroupMember(env(), nullptr, handle, javaString(group))); });
}

void Driver::wrap() {
  int32_t handle = sspiHandle([](const SspiEntry &entry) { return entry.state == State::Success; });
  std::optional<std::vector<uint8_t>> message;
  if (chance(94)) {
    message.emplace(below(48));
    for (uint8_t &byte : *message) {
      byte = static_cast<uint8_t>(below(256));
    }
  }
  std::vector<uint8_t> sealed;
  step(
      "SSPI.Wrap(" + std::to_string(handle) + ", " + (message ? describeBytes(*message) : "null") + ")",
      [&](ReferenceModel &model, PlatformPath &path) { return model.wrap(path, handle, message); },
      [&] {
        jbyteArray result =
            api().SSPI_Wrap(env(), nullptr, handle, message ? jvm_->newByteArray(*message) : nullptr);
        if (result == nullptr) {
          return outcome("null");
        }
        sealed = jvm_->bytes(result);
        return outcome("sealed " + std::to_string(sealed.size()));
      });
  if (!sealed.empty()) {
    messages_.push_back(
        {false, sealed, model_.sealedBy(handle, *message), "sealed by " + std::to_string(handle)});
    if (messages_.size() > kPoolSize) {
      messages_.erase(messages_.begin());
    }
  }
}

void Driver::unwrap() {
  Bytes<std::optional<Sealed>> message = this->message();
  // Mostly the peer the message was sealed for.
  std::optional<Sealed> sealed = message.meaning;
  int32_t handle = sspiHandle([&sealed](const SspiEntry &entry) {
    return entry.state == State::Success &&
           (!sealed || (sealed->session == entry.session && sealed->fromServer == entry.client));
  });
  step(
      "SSPI.Unwrap(" + std::to_string(handle) + ", " + message.label + ")",
      [&](ReferenceModel &model, PlatformPath &path) {
        return model.unwrap(path, handle, message.isNull ? std::nullopt : message.meaning);
      },
      [&] {
        jbyteArray plain = api().SSPI_Unwrap(env(), nullptr, handle, javaBytes(message));
        return outcome(plain == nullptr ? "null" : describeBytes(jvm_->bytes(plain)));
      });
}

// ---- UserAuth operations -------------------------------------------------------------

void Driver::createUserContext() {
  static const std::vector<std::optional<std::u16string>> kUsers = {u"CORVANE\\alice",
                                                                    u"corvane\\BOB",
                                                                    u"CORVANE\\svc-tarnwell",
                                                                    u"WKS01\\localadmin",
                                                                    u"CORVANE\\ghost",
                                                                    u"CORVANE\\Engineering",
                                                                    u"OTHER\\alice",
                                                                    u"alice",
                                                                    u"\\alice",
                                                                    u"alice@corvane.test",
                                                                    std::u16string(u"CORVANE\\alice\0x", 15),
                                                                    std::nullopt};
  std::optional<std::u16string> user = pick(kUsers);
  step(
      "UserAuth.CreateUserContext(" + quoted(user) + ")",
      [&](ReferenceModel &model, PlatformPath &path) { return model.createUserContext(path, user); },
      [&] { return intOutcome(api().UserAuth_CreateUserContext(env(), nullptr, javaString(user))); });
}

void Driver::userSid() {
  static const std::vector<std::optional<std::u16string>> kAccounts = {u"CORVANE\\alice",
                                                                       u"bob",
                                                                       u"BUILTIN\\Administrators",
                                                                       u"CORVANE\\ghost",
                                                                       u"Engineering",
                                                                       u"alice@corvane.test",
                                                                       u"Everyone",
                                                                       u"",
                                                                       std::u16string(u"bob\0x", 5),
                                                                       std::nullopt};
  std::optional<std::u16string> account = pick(kAccounts);
  step(
      "UserAuth.GetUserSID(" + quoted(account) + ")",
      [&](ReferenceModel &model, PlatformPath &path) { return model.userSid(path, account); },
      [&] { return stringOutcome(api().UserAuth_GetUserSID(env(), nullptr, javaString(account))); });
}

void Driver::userIsMember() {
  int32_t handle = userHandle();
  std::optional<std::u16string> group = groupName();
  step(
      "UserAuth.IsGroupMember(" + std::to_string(handle) + ", " + quoted(group) + ")",
      [&](ReferenceModel &model, PlatformPath &path) { return model.userIsMember(path, handle, group); },
      [&] { return boolOutcome(api().UserAuth_IsGroupMember(env(), nullptr, handle, javaString(group))); });
}

void Driver::freeUserContext() {
  int32_t handle = userHandle();
  step(
      "UserAuth.FreeHandle(" + std::to_string(handle) + ")",
      [&](ReferenceModel &model, PlatformPath &) { return model.freeUserContext(handle); },
      [&] {
        api().UserAuth_FreeHandle(env(), nullptr, handle);
        return outcome("void");
      });
  lastFreedUser_ = handle;
}

// ---- WinUtil operations ---------------------------------------------------------------

void Driver::registry() {
  static const std::vector<std::u16string> kNames = {u"A", u"B", u"", std::u16string(u"A\0B", 3)};
  static const std::vector<std::u16string> kTexts = {u"", u"x", u"h\u00e9llo", std::u16string(u"a\0b", 3),
                                                     u"Program"};
  static const std::vector<int32_t> kNumbers = {0, 258, -1, 0x41, 0x00410042};
  std::optional<std::u16string> key = chance(90) ? ReferenceModel::kRegistryKey : ReferenceModel::kMissingKey;
  if (chance(5)) {
    key = chance(50) ? std::nullopt : std::optional<std::u16string>(*key + std::u16string(u"\0x", 2));
  }
  std::u16string name = pick(kNames);
  bool view64 = chance(50);
  std::string where = quoted(key) + ", \"" + describeText(name) + "\", " + (view64 ? "64" : "own");
  size_t kind = below(3);
  if (kind == 0) {
    step(
        "WinUtil.GetHKLMStringRegValue(" + where + ")",
        [&](ReferenceModel &model, PlatformPath &path) { return model.readString(path, key, name, view64); },
        [&] {
          return stringOutcome(api().WinUtil_GetHKLMStringRegValue(
              env(), nullptr, javaString(key), javaString(name), view64 ? JNI_TRUE : JNI_FALSE));
        });
  } else if (kind == 1) {
    std::u16string text = pick(kTexts);
    step(
        "WinUtil.SetHKLMStringRegValue(" + where + ", \"" + describeText(text) + "\")",
        [&](ReferenceModel &model, PlatformPath &path) {
          return model.writeString(path, key, name, text, view64);
        },
        [&] {
          return intOutcome(api().WinUtil_SetHKLMStringRegValue(env(), nullptr, javaString(key),
                                                                javaString(name), javaString(text),
                                                                view64 ? JNI_TRUE : JNI_FALSE));
        });
  } else {
    int32_t number = pick(kNumbers);
    step(
        "WinUtil.SetHKLMIntRegValue(" + where + ", " + std::to_string(number) + ")",
        [&](ReferenceModel &model, PlatformPath &path) {
          return model.writeInt(path, key, name, number, view64);
        },
        [&] {
          return intOutcome(api().WinUtil_SetHKLMIntRegValue(
              env(), nullptr, javaString(key), javaString(name), number, view64 ? JNI_TRUE : JNI_FALSE));
        });
  }
}

void Driver::machine() {
  size_t kind = below(3);
  if (kind == 2) {
    step(
        "WinUtil.GetDCCheckResultCode()",
        [&](ReferenceModel &model, PlatformPath &path) { return model.domainControllerCheck(path); },
        [&] { return intOutcome(api().WinUtil_GetDCCheckResultCode(env(), nullptr)); });
    return;
  }
  bool fullyQualified = kind == 0;
  step(
      fullyQualified ? "WinUtil.GetFullyQualifiedDnsName()" : "WinUtil.GetComputerNameNetBIOS()",
      [&](ReferenceModel &model, PlatformPath &path) { return model.computerName(path, fullyQualified); },
      [&] {
        return stringOutcome(fullyQualified ? api().WinUtil_GetFullyQualifiedDnsName(env(), nullptr)
                                            : api().WinUtil_GetComputerNameNetBIOS(env(), nullptr));
      });
}

void Driver::productDirectories() {
  if (chance(50)) {
    step(
        "WinUtil.GetProductInstallPath()",
        [&](ReferenceModel &model, PlatformPath &path) { return model.productInstallPath(path); },
        [&] { return stringOutcome(api().WinUtil_GetProductInstallPath(env(), nullptr)); });
    return;
  }
  static const std::vector<std::optional<std::u16string>> kFiles = {
      u"x.log", u"", std::nullopt, std::u16string(300, u'n'), std::u16string(u"a\0b", 3), u"sub\\..\\y.txt"};
  std::optional<std::u16string> file = pick(kFiles);
  step(
      "WinUtil.GetCommonAppDataFilePath(" + quoted(file) + ")",
      [&](ReferenceModel &model, PlatformPath &path) { return model.dataFilePath(path, file); },
      [&] {
        return stringOutcome(api().WinUtil_GetCommonAppDataFilePath(env(), nullptr, javaString(file)));
      });
}

// Only ever with the platform refusing: otherwise the run would end here.
void Driver::terminateRefused() {
  step(
      "WinUtil.TerminateProcess(7)",
      [&](ReferenceModel &model, PlatformPath &path) { return model.terminateRefused(path); },
      [&] {
        api().WinUtil_TerminateProcess(env(), nullptr, 7);
        return outcome("void");
      },
      true);
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

}  // namespace

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
