// Calls of the identity and authorization natives for the tests of the
// client's identity, its groups and user contexts, with results as plain
// text so that failures print readably.
#pragma once

#include "handshake_fixture.h"

namespace ntseclink_test {

constexpr jint kNoRequirements = 0;
const std::u16string kKerberosService = u"HTTP/wks01.corvane.test";

inline std::string narrow(const std::u16string &text) {
  return std::string(text.begin(), text.end());
}

class IdentityTest : public HandshakeTest {
 protected:
  std::optional<std::string> textOf(jstring text) {
    return text == nullptr ? std::nullopt : std::optional<std::string>(narrow(jvm.stringValue(text)));
  }

  // A fresh library whose load meets a failing platform call.
  void reloadFailing(const std::string &function, DWORD code) {
    unload();
    winsim::failCall(function, code);
    load();
  }

  // An established pair whose client (and server) is the given account.
  Peers establishAs(const std::u16string &account, const std::u16string &package = u"NTLM") {
    EXPECT_TRUE(winsim::setProcessUser(account));
    return establish(package, kNoRequirements);
  }

  std::optional<std::string> report(jint handle) {
    return textOf(api().SSPI_GetContextInformation(jvm.env(), nullptr, handle));
  }

  std::optional<std::string> clientUserName(jint handle) {
    return textOf(api().SSPI_GetClientUserName(jvm.env(), nullptr, handle));
  }

  jboolean clientIsMember(jint handle, const std::optional<std::u16string> &group) {
    return api().SSPI_IsGroupMember(jvm.env(), nullptr, handle, javaString(group));
  }

  jint createUserContext(const std::optional<std::u16string> &user) {
    return api().UserAuth_CreateUserContext(jvm.env(), nullptr, javaString(user));
  }

  jboolean userIsMember(jint handle, const std::optional<std::u16string> &group) {
    return api().UserAuth_IsGroupMember(jvm.env(), nullptr, handle, javaString(group));
  }

  void freeUserContext(jint handle) { api().UserAuth_FreeHandle(jvm.env(), nullptr, handle); }

  std::optional<std::string> userSid(const std::optional<std::u16string> &account) {
    return textOf(api().UserAuth_GetUserSID(jvm.env(), nullptr, javaString(account)));
  }

  static std::string groupNotFound() { return std::string(jnihost::kGroupNotFoundException) + ": "; }
  static std::string userNotFound() { return std::string(jnihost::kUserNotFoundException) + ": "; }
};

}  // namespace ntseclink_test
