// The driver's UserAuth operations.
#include "driver.h"

namespace ntseclink_model {

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

}  // namespace ntseclink_model
