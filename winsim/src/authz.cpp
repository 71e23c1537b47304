// The authorization API: resource managers and client contexts made from a
// user's SID, without a logon.
#include <authz.h>

#include <map>

#include "sim.h"

namespace winsim {
namespace detail {
namespace {

constexpr DWORD kContextGroup = SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_MANDATORY;

struct ResourceManager {};

// A snapshot: the groups are computed when the context is made.
struct ClientContext {
  Sid user;
  std::vector<GroupEntry> groups;
};

struct AuthzState {
  std::map<const void *, std::unique_ptr<ResourceManager>> managers;
  std::map<const void *, std::unique_ptr<ClientContext>> contexts;
};

AuthzState &authz() {
  static AuthzState *state = new AuthzState;  // never destroyed: used until exit
  return *state;
}

ClientContext *contextOf(AUTHZ_CLIENT_CONTEXT_HANDLE handle) {
  auto it = authz().contexts.find(handle);
  return it == authz().contexts.end() ? nullptr : it->second.get();
}

// Only accounts that can log on get a context; Windows refuses a group's SID.
DWORD userSidError(PSID userSid) {
  auto sid = Sid::fromMemory(userSid);
  if (!sid) {
    return ERROR_INVALID_SID;
  }
  auto account = findAccountBySid(*sid);
  if (!account) {
    return ERROR_NONE_MAPPED;
  }
  bool canLogOn = account->type == SidTypeUser || account->type == SidTypeComputer;
  return canLogOn ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_INVALID_SID);
}

std::unique_ptr<ClientContext> snapshotOf(const Sid &user) {
  auto context = std::make_unique<ClientContext>();
  context->user = user;
  for (const Sid &group : groupsOf(user)) {
    context->groups.push_back({group, kContextGroup});
  }
  return context;
}

}  // namespace

void resetAuthz() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  authz().managers.clear();
  authz().contexts.clear();
}

}  // namespace detail
}  // namespace winsim

using namespace winsim::detail;

WINSIM_API BOOL WINAPI AuthzInitializeResourceManager(DWORD Flags, PFN_AUTHZ_DYNAMIC_ACCESS_CHECK,
                                                      PFN_AUTHZ_COMPUTE_DYNAMIC_GROUPS,
                                                      PFN_AUTHZ_FREE_DYNAMIC_GROUPS,
                                                      PCWSTR szResourceManagerName,
                                                      PAUTHZ_RESOURCE_MANAGER_HANDLE phAuthzResourceManager) {
  if (auto fault = enterCall("AuthzInitializeResourceManager",
                             "flags=" + hexText(Flags) + " name=" + journalText(szResourceManagerName))) {
    return failWith(*fault);
  }
  if (phAuthzResourceManager == nullptr) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  auto manager = std::make_unique<ResourceManager>();
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  *phAuthzResourceManager = reinterpret_cast<AUTHZ_RESOURCE_MANAGER_HANDLE>(manager.get());
  authz().managers.emplace(manager.get(), std::move(manager));
  resourceAcquired(Resource::AuthzResourceManagers);
  return TRUE;
}

WINSIM_API BOOL WINAPI AuthzFreeResourceManager(AUTHZ_RESOURCE_MANAGER_HANDLE hAuthzResourceManager) {
  if (auto fault = enterCall("AuthzFreeResourceManager")) {
    return failWith(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (authz().managers.erase(hAuthzResourceManager) == 0) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  resourceReleased(Resource::AuthzResourceManagers);
  return TRUE;
}

WINSIM_API BOOL WINAPI AuthzInitializeContextFromSid(DWORD Flags, PSID UserSid,
                                                     AUTHZ_RESOURCE_MANAGER_HANDLE hAuthzResourceManager,
                                                     PLARGE_INTEGER, LUID, PVOID,
                                                     PAUTHZ_CLIENT_CONTEXT_HANDLE phAuthzClientContext) {
  auto sid = Sid::fromMemory(UserSid);
  if (auto fault = enterCall("AuthzInitializeContextFromSid",
                             (sid ? sid->text() : "(invalid)") + " flags=" + hexText(Flags))) {
    return failWith(*fault);
  }
  if (phAuthzClientContext == nullptr) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (authz().managers.count(hAuthzResourceManager) == 0) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  if (DWORD error = userSidError(UserSid)) {
    return failWith(error);
  }
  auto context = snapshotOf(*sid);
  *phAuthzClientContext = reinterpret_cast<AUTHZ_CLIENT_CONTEXT_HANDLE>(context.get());
  authz().contexts.emplace(context.get(), std::move(context));
  resourceAcquired(Resource::AuthzClientContexts);
  return TRUE;
}

WINSIM_API BOOL WINAPI AuthzGetInformationFromContext(AUTHZ_CLIENT_CONTEXT_HANDLE hAuthzClientContext,
                                                      AUTHZ_CONTEXT_INFORMATION_CLASS InfoClass,
                                                      DWORD BufferSize, PDWORD pSizeRequired, PVOID Buffer) {
  if (auto fault = enterCall("AuthzGetInformationFromContext",
                             "class=" + std::to_string(InfoClass) + " size=" + std::to_string(BufferSize))) {
    return failWith(*fault);
  }
  if (pSizeRequired == nullptr) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  const ClientContext *context = contextOf(hAuthzClientContext);
  if (context == nullptr) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  switch (InfoClass) {
    case AuthzContextInfoUserSid:
      if (!reportSize(tokenUserSize(context->user), Buffer, BufferSize, pSizeRequired)) {
        return FALSE;
      }
      writeTokenUser(context->user, Buffer);
      return TRUE;
    case AuthzContextInfoGroupsSids:
      if (!reportSize(tokenGroupsSize(context->groups), Buffer, BufferSize, pSizeRequired)) {
        return FALSE;
      }
      writeTokenGroups(context->groups, Buffer);
      return TRUE;
    default:
      return failWith(ERROR_INVALID_PARAMETER);
  }
}

WINSIM_API BOOL WINAPI AuthzFreeContext(AUTHZ_CLIENT_CONTEXT_HANDLE hAuthzClientContext) {
  if (auto fault = enterCall("AuthzFreeContext")) {
    return failWith(*fault);
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (authz().contexts.erase(hAuthzClientContext) == 0) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  resourceReleased(Resource::AuthzClientContexts);
  return TRUE;
}
