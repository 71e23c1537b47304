// The reference model of the UserAuth family: user contexts, their group
// membership, and account SIDs.
#include "reference.h"
#include "reference_support.h"

namespace ntseclink_model {

Outcome ReferenceModel::createUserContext(PlatformPath &path, const std::optional<std::u16string> &user) {
  if (!userAuthReady_) {
    return winAuth("int 0", "Not initialized");
  }
  std::u16string name = user.value_or(u"");
  size_t separator = name.find(u'\\');
  if (separator == std::u16string::npos || separator == 0) {
    return winAuth("int 0", "Local users not allowed");
  }
  int32_t handle = nextHandle(userCounter_, &ReferenceModel::userLive);
  const std::vector<uint32_t> lookupCodes = {kRpcUnavailable, ERROR_NONE_MAPPED};
  if (holdsNull(name)) {
    return notFound("int 0", kUserNotFound, ERROR_NONE_MAPPED);
  }
  if (auto code = path.call("LookupAccountNameW", lookupCodes)) {
    return notFound("int 0", kUserNotFound, *code);
  }
  const Account *account = findAccount(name);
  if (account == nullptr) {
    return notFound("int 0", kUserNotFound, ERROR_NONE_MAPPED);
  }
  if (auto code = path.call("LookupAccountNameW", lookupCodes)) {
    return notFound("int 0", kUserNotFound, *code);
  }
  if (auto code = path.call("AuthzInitializeContextFromSid", kBoolCodes)) {
    return platformError("int 0", *code);
  }
  if (account->type != AccountType::User) {
    return platformError("int 0", 1337);  // Authz makes contexts for users only
  }
  if (auto code = path.call("AuthzGetInformationFromContext", kBoolCodes)) {
    return platformError("int 0", *code);
  }
  if (auto code = path.call("AuthzGetInformationFromContext", kBoolCodes)) {
    return platformError("int 0", *code);
  }
  users_[handle] = UserEntry{account->domain + u"\\" + account->name};
  return intValue(handle);
}

Outcome ReferenceModel::userSid(PlatformPath &path, const std::optional<std::u16string> &account) {
  const std::vector<uint32_t> lookupCodes = {kRpcUnavailable, ERROR_NONE_MAPPED};
  if (holdsNull(account.value_or(u"")) || path.call("LookupAccountNameW", lookupCodes)) {
    return value("null");
  }
  const Account *found = findAccount(account.value_or(u""));
  if (found == nullptr || path.call("LookupAccountNameW", lookupCodes) ||
      path.call("ConvertSidToStringSidA", {ERROR_NOT_ENOUGH_MEMORY})) {
    return value("null");
  }
  return value("string " + found->sid);
}

Outcome ReferenceModel::userIsMember(PlatformPath &path, int32_t handle,
                                     const std::optional<std::u16string> &group) {
  if (!userAuthReady_) {
    return winAuth("bool false", "Not initialized");
  }
  auto found = users_.find(handle);
  if (found == users_.end()) {
    return winAuth("bool false", "Invalid handle");
  }
  std::string sid;
  if (uint32_t error = lookupGroup(path, group.value_or(u""), sid)) {
    return notFound("bool false", kGroupNotFound, error);
  }
  return boolValue(belongsTo(found->second.account, sid));
}

Outcome ReferenceModel::freeUserContext(int32_t handle) {
  users_.erase(handle);
  return value("void");
}

}  // namespace ntseclink_model
