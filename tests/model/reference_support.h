// What the parts of the reference model share: the words of an outcome, the
// default machine's accounts as far as the driver names them, and the codes
// the platform calls may fail with.
#pragma once

#include <windows.h>
#include <sspi.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "reference.h"

namespace ntseclink_model {

// ---- Words of an outcome ----------------------------------------------------

inline const std::string kWinAuth = "com/corvane/zel/ntseclink/WinAuthException: ";
inline const std::string kWin = "com/corvane/zel/ntseclink/WinException: ";
inline const std::string kUserNotFound = "com/corvane/zel/ntseclink/UserNotFoundException: ";
inline const std::string kGroupNotFound = "com/corvane/zel/ntseclink/GroupNotFoundException: ";

inline constexpr const char *kOtherThread = "Impersonating on another thread";

inline std::string hex8(uint32_t code) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", code);
  return text;
}

inline Outcome failed(const std::string &neutral, const std::string &exception) {
  return Outcome{exception, neutral};
}
inline Outcome winAuth(const std::string &neutral, const std::string &message) {
  return failed(neutral, kWinAuth + message);
}
inline Outcome platformError(const std::string &neutral, uint32_t code) {
  return winAuth(neutral, "Platform error: " + hex8(code));
}
// A name that does not resolve is "not found"; any other failure is the platform's.
inline Outcome notFound(const std::string &neutral, const std::string &notFoundClass, uint32_t code) {
  return code == ERROR_NONE_MAPPED ? failed(neutral, notFoundClass) : platformError(neutral, code);
}
inline Outcome value(const std::string &result) {
  return Outcome{"", result};
}
inline Outcome intValue(int64_t number) {
  return value("int " + std::to_string(number));
}
inline Outcome boolValue(bool answer) {
  return value(answer ? "bool true" : "bool false");
}
inline Outcome stringValue(const std::u16string &text) {
  return value("string " + describeText(text));
}

// ---- Names ------------------------------------------------------------------------

// A name the platform would read only up to its U+0000: it names nothing.
inline bool holdsNull(const std::u16string &name) {
  return name.find(u'\0') != std::u16string::npos;
}

std::u16string lowered(std::u16string text);
bool equalsIgnoreCase(const std::u16string &a, const std::u16string &b);

// ---- The default machine's accounts, as far as the driver names them ------

enum class AccountType { User, Group, Alias, Domain, WellKnown };

struct Account {
  std::u16string domain;
  std::u16string name;
  AccountType type;
  std::string sid;
};

// What LookupAccountNameW finds for a name: qualified names in any case, bare
// names searched as the platform does, name@dns-domain for network users,
// and the empty name for the machine's domain.
const Account *findAccount(const std::u16string &name);

// Every group a user belongs to, transitively.
bool belongsTo(const std::u16string &user, const std::string &groupSid);

inline const std::u16string kProcessUser = u"CORVANE\\svc-tarnwell";

// ---- Failures of platform calls ---------------------------------------------------

// Codes of the platform's that its headers here do not name.
inline constexpr uint32_t kRpcUnavailable = 1722;
inline constexpr uint32_t kGeneralFailure = 0x80004005;
inline constexpr uint32_t kInternalError = static_cast<uint32_t>(SEC_E_INTERNAL_ERROR);
inline const std::vector<uint32_t> kStatusCodes = {kInternalError,
                                                   static_cast<uint32_t>(SEC_E_NO_CREDENTIALS)};
inline const std::vector<uint32_t> kBoolCodes = {ERROR_ACCESS_DENIED, kRpcUnavailable};

}  // namespace ntseclink_model
