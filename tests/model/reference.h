// A reference model of what every native should answer on the default
// simulated machine, written from the natives' contracts and the platform's,
// not from the library's code: both handle tables with a small state machine
// per entry, the handle counters, the calling thread's impersonation, the
// registry values the natives write, and the live platform resources Java
// holds through the library. Each prediction walks the platform calls the
// native makes, so that one of them can be made to fail. The predictions of
// each family are in its folder (sspi/, userauth/, winutil/).
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ntseclink_model {

// ---- Platform calls and faults -----------------------------------------------

// The nth call (from 1) of a platform function within one native, failing
// with one of `codes`.
struct FaultPoint {
  std::string function;
  int nth = 0;
  std::vector<uint32_t> codes;
};

struct Fault {
  std::string function;
  int nth = 0;
  uint32_t code = 0;
};

// The platform calls one prediction walks through, and whether the injected
// fault lies on them.
class PlatformPath {
 public:
  explicit PlatformPath(std::optional<Fault> fault = std::nullopt) : fault_(std::move(fault)) {}

  // Records a call that may fail with `codes`; the code when it is the one
  // made to fail.
  std::optional<uint32_t> call(const std::string &function, std::vector<uint32_t> codes);

  const std::vector<FaultPoint> &points() const { return points_; }
  bool faultReached() const { return reached_; }

 private:
  std::optional<Fault> fault_;
  std::vector<FaultPoint> points_;
  std::map<std::string, int> calls_;
  bool reached_ = false;
};

// ---- What a native answers --------------------------------------------------

// "class: message" of the exception left pending ("" for none) and the
// result in words: "int 5", "bool false", "null", "void", "string text",
// "bytes 0a1b", "token empty", "token some".
struct Outcome {
  std::string exception;
  std::string result;

  bool operator==(const Outcome &other) const {
    return exception == other.exception && result == other.result;
  }
  std::string describe() const { return exception.empty() ? result : result + " + " + exception; }
};

// Text and bytes as outcomes spell them: printable ASCII as is, other units
// as \uXXXX; bytes in hexadecimal.
std::string describeText(const std::u16string &text);
std::string describeBytes(const std::vector<uint8_t> &bytes);

// ---- Handshake tokens and protected messages -------------------------------

enum class Package { Negotiate, Ntlm, Kerberos };
enum class Mechanism { None, Ntlm, Kerberos };

// What a token is to the peer that receives it.
struct Token {
  enum class Kind { None, Garbage, NtlmNegotiate, NtlmChallenge, NtlmAuthenticate, ApRequest, ApReply };
  Kind kind = Kind::None;
  Package package = Package::Negotiate;
  Mechanism mechanism = Mechanism::None;
  uint64_t clientNonce = 0;
  uint64_t serverNonce = 0;
  ULONG clientFlags = 0;
};

// The keys of an established session: which client and which challenge.
struct Session {
  uint64_t clientNonce = 0;
  uint64_t serverNonce = 0;
  Mechanism mechanism = Mechanism::None;
  bool operator==(const Session &other) const {
    return clientNonce == other.clientNonce && serverNonce == other.serverNonce &&
           mechanism == other.mechanism;
  }
};

// A protected message as Unwrap receives it.
struct Sealed {
  enum class Form { Intact, Truncated, Extended, Flipped, Zeros };
  Form form = Form::Zeros;
  size_t length = 0;
  Session session;
  bool fromServer = false;
  std::vector<uint8_t> plain;
};

// ---- The model -------------------------------------------------------------

enum class State { Initial, Negotiating, Success, Error };

struct SspiEntry {
  bool client = false;
  Package package = Package::Negotiate;  // as created; a Negotiate server takes on a raw client's
  State state = State::Initial;
  bool impersonating = false;
  bool platformContext = false;
  ULONG requestedFlags = 0;
  // The package's own view, which only a successful step changes.
  Mechanism mechanism = Mechanism::None;
  Session session;
  ULONG attributes = 0;
  Token lastToken;
};

struct UserEntry {
  std::u16string account;  // "DOMAIN\name", canonical
};

// A failure injected while the library loads, and what it leaves behind.
enum class LoadFault { None, ResourceManager, ComputerName, BuiltinDomain };

struct ModelValue {
  bool isString = true;
  std::u16string text;
  uint32_t number = 0;
};

class ReferenceModel {
 public:
  static constexpr const char16_t *kRegistryKey = u"SOFTWARE\\Corvane Model";
  static constexpr const char16_t *kMissingKey = u"SOFTWARE\\Corvane Model Missing";

  // ---- Library load and the handle counters
  void load(LoadFault fault);
  void unload();
  void setSspiCounter(int32_t value) { sspiCounter_ = value; }
  void setUserCounter(int32_t value) { userCounter_ = value; }

  // ---- SSPI
  Outcome createContext(PlatformPath &path, bool client, ULONG flags,
                        const std::optional<std::u16string> &package,
                        const std::optional<std::u16string> &target);
  Outcome initialize(PlatformPath &path, int32_t handle, const std::optional<Token> &token);
  Outcome accept(PlatformPath &path, int32_t handle, const std::optional<Token> &token);
  Outcome challengeToken(int32_t handle);
  Outcome maxTokenSize(int32_t handle);
  Outcome negotiatedAttributes(int32_t handle);
  // otherThread: called on a thread other than the driver's, which is the
  // one every impersonation begins on.
  Outcome freeContext(int32_t handle, bool otherThread);
  Outcome startImpersonating(PlatformPath &path, int32_t handle);
  Outcome stopImpersonating(PlatformPath &path, int32_t handle, bool otherThread);
  Outcome clientUserName(PlatformPath &path, int32_t handle);
  // The report's first three lines, which the model knows.
  Outcome contextReportHead(int32_t handle);
  Outcome clientIsMember(PlatformPath &path, int32_t handle, const std::optional<std::u16string> &group);
  // The result is "sealed" on success: the message's meaning is sealedBy().
  Outcome wrap(PlatformPath &path, int32_t handle, const std::optional<std::vector<uint8_t>> &message);
  Sealed sealedBy(int32_t handle, const std::vector<uint8_t> &message) const;
  Outcome unwrap(PlatformPath &path, int32_t handle, const std::optional<Sealed> &message);

  // ---- UserAuth
  Outcome createUserContext(PlatformPath &path, const std::optional<std::u16string> &user);
  Outcome userSid(PlatformPath &path, const std::optional<std::u16string> &account);
  Outcome userIsMember(PlatformPath &path, int32_t handle, const std::optional<std::u16string> &group);
  Outcome freeUserContext(int32_t handle);

  // ---- WinUtil
  Outcome readString(PlatformPath &path, const std::optional<std::u16string> &key, const std::u16string &name,
                     bool view64);
  Outcome writeString(PlatformPath &path, const std::optional<std::u16string> &key,
                      const std::u16string &name, const std::u16string &value, bool view64);
  Outcome writeInt(PlatformPath &path, const std::optional<std::u16string> &key, const std::u16string &name,
                   int32_t value, bool view64);
  Outcome computerName(PlatformPath &path, bool fullyQualified);
  Outcome domainControllerCheck(PlatformPath &path);
  Outcome productInstallPath(PlatformPath &path);
  Outcome dataFilePath(PlatformPath &path, const std::optional<std::u16string> &fileName);
  Outcome terminateRefused(PlatformPath &path);

  // ---- What the driver reads
  bool loaded() const { return loaded_; }
  bool threadImpersonating() const { return threadImpersonating_; }
  const std::map<int32_t, SspiEntry> &sspiEntries() const { return sspi_; }
  const std::map<int32_t, UserEntry> &userEntries() const { return users_; }
  // The live counts the platform should report, as "credentials=1 ...".
  std::string expectedLiveCounts() const;

 private:
  int32_t nextHandle(int32_t &counter, bool (ReferenceModel::*live)(int32_t) const) const;
  bool sspiLive(int32_t handle) const { return sspi_.count(handle) != 0; }
  bool userLive(int32_t handle) const { return users_.count(handle) != 0; }

  SspiEntry *findOrThrow(int32_t handle, Outcome &out);
  SspiEntry *establishedServer(int32_t handle, Outcome &out, const char *neutral);
  SspiEntry *established(int32_t handle, Outcome &out, const char *neutral);
  Outcome finishStep(PlatformPath &path, SspiEntry &entry, uint32_t status, const SspiEntry &next);
  uint32_t serverStep(const SspiEntry &entry, const std::optional<Token> &token, SspiEntry &next);
  uint32_t clientStep(const SspiEntry &entry, const std::optional<Token> &token, SspiEntry &next);
  // 0 and the group's SID, its domain checked; or the error the lookup gives.
  uint32_t lookupGroup(PlatformPath &path, const std::u16string &group, std::string &sid) const;
  bool isLocalDomain(const std::u16string &domain) const;

  bool loaded_ = false;
  bool userAuthReady_ = false;
  bool resourceManager_ = false;
  bool computerNameKnown_ = false;
  bool builtinNameKnown_ = false;
  bool versionTested_ = false;
  int32_t sspiCounter_ = 1;
  int32_t userCounter_ = 1;
  uint64_t nonces_ = 0;
  bool threadImpersonating_ = false;
  int leakedCredentials_ = 0;
  int leakedContexts_ = 0;
  std::map<int32_t, SspiEntry> sspi_;
  std::map<int32_t, UserEntry> users_;
  std::map<std::u16string, ModelValue> registry_;
};

}  // namespace ntseclink_model
