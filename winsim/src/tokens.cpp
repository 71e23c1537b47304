// Access tokens and per-thread impersonation.
#include <cstddef>
#include <cstring>

#include "sim.h"

namespace winsim {
namespace detail {
namespace {

constexpr DWORD kBadTokenType = 1349;  // ERROR_BAD_TOKEN_TYPE
constexpr ACCESS_MASK kTokenAllAccess = 0xF01FF;
constexpr DWORD kEnabledGroup = SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_MANDATORY;

// A token's identity never changes after it is made, so handles, threads and
// linked tokens may share one object.
struct Token : KernelObject {
  Sid user;
  std::vector<GroupEntry> groups;
  TOKEN_TYPE type = TokenImpersonation;
  // A raw value: tests may hand out levels beyond the SDK's four.
  DWORD level = SecurityImpersonation;
  std::shared_ptr<Token> linked;
};

struct TokenSettings {
  bool linkedTokens = false;
  AbsentLinkedToken absentLinkedToken = AbsentLinkedToken::NullHandle;
  // Impersonations begun before the last reset no longer count; other
  // threads' own records cannot be reached to clear them.
  uint64_t generation = 0;
};

TokenSettings &settings() {
  static TokenSettings *state = new TokenSettings;  // never destroyed: used until exit
  return *state;
}

struct Impersonation {
  std::shared_ptr<Token> token;
  uint64_t generation = 0;
};
thread_local Impersonation threadImpersonation;

bool isAdministrators(const Sid &sid) {
  return sid == Sid::parse("S-1-5-32-544");
}

// A filtered token (the one a split logon hands out) holds the
// Administrators alias for deny only; its linked token holds it enabled.
std::shared_ptr<Token> makeToken(const Sid &user, TOKEN_TYPE type, DWORD level, bool filtered) {
  auto token = std::make_shared<Token>();
  token->user = user;
  token->type = type;
  token->level = level;
  for (const Sid &group : groupsOf(user)) {
    bool denyOnly = filtered && isAdministrators(group);
    token->groups.push_back(
        {group, denyOnly ? static_cast<DWORD>(SE_GROUP_USE_FOR_DENY_ONLY) : kEnabledGroup});
  }
  return token;
}

std::shared_ptr<Token> currentImpersonation() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  bool current = threadImpersonation.token && threadImpersonation.generation == settings().generation;
  return current ? threadImpersonation.token : nullptr;
}

void impersonate(std::shared_ptr<Token> token) {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  threadImpersonation = {std::move(token), settings().generation};
}

struct OpenedToken {
  std::shared_ptr<Token> token;
  DWORD error = ERROR_SUCCESS;
};

OpenedToken openToken(HANDLE handle, ACCESS_MASK needed) {
  auto entry = lookupHandle(handle);
  auto token = entry ? std::dynamic_pointer_cast<Token>(entry->object) : nullptr;
  if (!token) {
    return {nullptr, ERROR_INVALID_HANDLE};
  }
  if ((entry->access & needed) != needed) {
    return {nullptr, ERROR_ACCESS_DENIED};
  }
  return {token, ERROR_SUCCESS};
}

// What CheckTokenMembership uses for a null token: the thread's
// impersonation token, or an impersonation copy of the process token.
std::shared_ptr<Token> effectiveToken() {
  if (auto token = currentImpersonation()) {
    return token;
  }
  return makeToken(processUser().sid, TokenImpersonation, SecurityIdentification, false);
}

bool holdsEnabled(const Token &token, const Sid &sid) {
  if (token.user == sid) {
    return true;
  }
  for (const auto &group : token.groups) {
    if (group.sid == sid && (group.attributes & SE_GROUP_ENABLED) != 0) {
      return true;
    }
  }
  return false;
}

template <typename Writer>
BOOL answer(DWORD needed, LPVOID buffer, DWORD capacity, PDWORD returned, Writer write) {
  if (!reportSize(needed, buffer, capacity, returned)) {
    return FALSE;
  }
  write(buffer);
  return TRUE;
}

template <typename Value>
BOOL answerValue(const Value &value, LPVOID buffer, DWORD capacity, PDWORD returned) {
  return answer(sizeof(Value), buffer, capacity, returned,
                [&value](void *out) { std::memcpy(out, &value, sizeof(Value)); });
}

BOOL answerLinkedToken(const Token &token, LPVOID buffer, DWORD capacity, PDWORD returned) {
  if (!reportSize(sizeof(TOKEN_LINKED_TOKEN), buffer, capacity, returned)) {
    return FALSE;
  }
  if (!token.linked && settings().absentLinkedToken == AbsentLinkedToken::NoSuchLogonSession) {
    return failWith(ERROR_NO_SUCH_LOGON_SESSION);
  }
  TOKEN_LINKED_TOKEN linked{token.linked ? insertHandle(token.linked, Resource::Tokens, kTokenAllAccess)
                                         : nullptr};
  std::memcpy(buffer, &linked, sizeof linked);
  return TRUE;
}

BOOL answerTokenInformation(const Token &token, TOKEN_INFORMATION_CLASS infoClass, LPVOID buffer,
                            DWORD capacity, PDWORD returned) {
  switch (infoClass) {
    case TokenUser:
      return answer(tokenUserSize(token.user), buffer, capacity, returned,
                    [&token](void *out) { writeTokenUser(token.user, out); });
    case TokenGroups:
      return answer(tokenGroupsSize(token.groups), buffer, capacity, returned,
                    [&token](void *out) { writeTokenGroups(token.groups, out); });
    case TokenType:
      return answerValue(token.type, buffer, capacity, returned);
    case TokenImpersonationLevel:
      if (token.type == TokenPrimary) {
        return failWith(ERROR_INVALID_PARAMETER);
      }
      return answerValue(token.level, buffer, capacity, returned);
    case TokenLinkedToken:
      return answerLinkedToken(token, buffer, capacity, returned);
    default:
      return failWith(ERROR_INVALID_PARAMETER);
  }
}

}  // namespace

HANDLE createToken(const TokenSpec &spec) {
  auto token = makeToken(spec.user, spec.type, spec.level, spec.withLinkedToken);
  if (spec.withLinkedToken) {
    // Handed to callers without the TCB privilege, as Windows does.
    token->linked = makeToken(spec.user, TokenImpersonation, SecurityIdentification, false);
  }
  return insertHandle(token, Resource::Tokens, kTokenAllAccess);
}

bool linkedTokensEnabled() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  return settings().linkedTokens;
}

DWORD tokenUserSize(const Sid &user) {
  return static_cast<DWORD>(sizeof(TOKEN_USER) + user.bytes().size());
}

void writeTokenUser(const Sid &user, void *buffer) {
  auto *base = static_cast<BYTE *>(buffer);
  std::vector<BYTE> sid = user.bytes();
  BYTE *sidStart = base + sizeof(TOKEN_USER);
  std::memcpy(sidStart, sid.data(), sid.size());
  TOKEN_USER header{{sidStart, 0}};
  std::memcpy(base, &header, sizeof header);
}

DWORD tokenGroupsSize(const std::vector<GroupEntry> &groups) {
  size_t size = offsetof(TOKEN_GROUPS, Groups) + groups.size() * sizeof(SID_AND_ATTRIBUTES);
  for (const auto &group : groups) {
    size += group.sid.bytes().size();
  }
  return static_cast<DWORD>(size);
}

void writeTokenGroups(const std::vector<GroupEntry> &groups, void *buffer) {
  auto *base = static_cast<BYTE *>(buffer);
  auto count = static_cast<DWORD>(groups.size());
  std::memcpy(base, &count, sizeof count);
  BYTE *pairs = base + offsetof(TOKEN_GROUPS, Groups);
  BYTE *sidStart = pairs + groups.size() * sizeof(SID_AND_ATTRIBUTES);
  for (const auto &group : groups) {
    std::vector<BYTE> sid = group.sid.bytes();
    std::memcpy(sidStart, sid.data(), sid.size());
    SID_AND_ATTRIBUTES pair{sidStart, group.attributes};
    std::memcpy(pairs, &pair, sizeof pair);
    pairs += sizeof pair;
    sidStart += sid.size();
  }
}

bool reportSize(DWORD needed, const void *buffer, DWORD capacity, DWORD *returned) {
  *returned = needed;
  if (buffer == nullptr || capacity < needed) {
    failWith(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return true;
}

void resetTokens() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  settings().linkedTokens = false;
  settings().absentLinkedToken = AbsentLinkedToken::NullHandle;
  ++settings().generation;
}

}  // namespace detail

void setLinkedTokens(bool present) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::settings().linkedTokens = present;
}

void setAbsentLinkedTokenAnswer(AbsentLinkedToken answer) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::settings().absentLinkedToken = answer;
}

std::u16string threadIdentity() {
  auto token = detail::currentImpersonation();
  if (!token) {
    return detail::processUser().qualifiedName();
  }
  auto account = detail::findAccountBySid(token->user);
  return account ? account->qualifiedName() : detail::toU16(token->user.text());
}

bool threadImpersonating() {
  return detail::currentImpersonation() != nullptr;
}

HANDLE createAccountToken(const std::u16string &qualifiedName, TOKEN_TYPE type,
                          SECURITY_IMPERSONATION_LEVEL level, bool withLinkedToken) {
  auto account = detail::findAccountByName(qualifiedName);
  if (!account) {
    return nullptr;
  }
  return detail::createToken({account->sid, type, level, withLinkedToken});
}

}  // namespace winsim

using namespace winsim::detail;

WINSIM_API BOOL WINAPI ImpersonateLoggedOnUser(HANDLE hToken) {
  if (auto fault = enterCall("ImpersonateLoggedOnUser")) {
    return failWith(*fault);
  }
  auto opened = openToken(hToken, 0);
  if (!opened.token) {
    return failWith(opened.error);
  }
  bool primary = opened.token->type == TokenPrimary;
  auto access = openToken(hToken, TOKEN_QUERY | (primary ? TOKEN_DUPLICATE : TOKEN_IMPERSONATE));
  if (!access.token) {
    return failWith(access.error);
  }
  if (!primary) {
    impersonate(opened.token);
    return TRUE;
  }
  auto copy = std::make_shared<Token>(*opened.token);
  copy->type = TokenImpersonation;
  copy->level = SecurityImpersonation;
  impersonate(std::move(copy));
  return TRUE;
}

namespace winsim::detail {
void endImpersonation() {
  impersonate(nullptr);
}
}  // namespace winsim::detail

WINSIM_API BOOL WINAPI RevertToSelf(void) {
  if (auto fault = enterCall("RevertToSelf")) {
    return failWith(*fault);
  }
  impersonate(nullptr);
  return TRUE;
}

WINSIM_API BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf,
                                       PHANDLE TokenHandle) {
  if (auto fault = enterCall("OpenThreadToken", "access=" + hexText(DesiredAccess) +
                                                    " openAsSelf=" + std::to_string(OpenAsSelf))) {
    return failWith(*fault);
  }
  if (TokenHandle == nullptr) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  if (ThreadHandle != currentThreadHandle()) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  auto token = currentImpersonation();
  if (!token) {
    return failWith(ERROR_NO_TOKEN);
  }
  // Opening as the impersonated identity needs a token that may act.
  if (!OpenAsSelf && token->level < SecurityImpersonation) {
    return failWith(ERROR_BAD_IMPERSONATION_LEVEL);
  }
  *TokenHandle = insertHandle(token, Resource::Tokens, DesiredAccess);
  return TRUE;
}

WINSIM_API BOOL WINAPI SetThreadToken(PHANDLE Thread, HANDLE Token) {
  if (auto fault = enterCall("SetThreadToken", Token == nullptr ? "revert" : "impersonate")) {
    return failWith(*fault);
  }
  if (Thread != nullptr && *Thread != currentThreadHandle()) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  if (Token == nullptr) {
    impersonate(nullptr);
    return TRUE;
  }
  auto opened = openToken(Token, TOKEN_IMPERSONATE);
  if (!opened.token) {
    return failWith(opened.error);
  }
  if (opened.token->type != TokenImpersonation) {
    return failWith(kBadTokenType);
  }
  impersonate(opened.token);
  return TRUE;
}

WINSIM_API BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember) {
  auto sid = Sid::fromMemory(SidToCheck);
  if (auto fault = enterCall("CheckTokenMembership", sid ? sid->text() : "(invalid)")) {
    return failWith(*fault);
  }
  if (!sid || IsMember == nullptr) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  std::shared_ptr<Token> token = effectiveToken();
  if (TokenHandle != nullptr) {
    auto opened = openToken(TokenHandle, TOKEN_QUERY);
    if (!opened.token) {
      return failWith(opened.error);
    }
    token = opened.token;
  }
  if (token->type != TokenImpersonation) {
    return failWith(ERROR_NO_IMPERSONATION_TOKEN);
  }
  if (token->level < SecurityIdentification) {
    return failWith(ERROR_BAD_IMPERSONATION_LEVEL);
  }
  *IsMember = holdsEnabled(*token, *sid) ? TRUE : FALSE;
  return TRUE;
}

WINSIM_API BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                           LPVOID TokenInformation, DWORD TokenInformationLength,
                                           PDWORD ReturnLength) {
  if (auto fault =
          enterCall("GetTokenInformation", "class=" + std::to_string(TokenInformationClass) +
                                               " length=" + std::to_string(TokenInformationLength))) {
    return failWith(*fault);
  }
  if (ReturnLength == nullptr) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  auto opened = openToken(TokenHandle, TOKEN_QUERY);
  if (!opened.token) {
    return failWith(opened.error);
  }
  return answerTokenInformation(*opened.token, TokenInformationClass, TokenInformation,
                                TokenInformationLength, ReturnLength);
}
