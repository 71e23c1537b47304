// Who is on the other side of a context, and a readable report on any
// context in any state.
#include "accounts/account_names.h"
#include "bridge/platform_resource.h"
#include "sspi/context_checks.h"

namespace ntseclink {

namespace {

WideString textOrEmpty(const SEC_WCHAR *text) {
  return text == nullptr ? WideString() : WideString(text);
}

// The user name exactly as the package gives it, domain part included.
SECURITY_STATUS queryUserName(CtxtHandle *context, WideString &userName) {
  SecPkgContext_NamesW names{};
  SECURITY_STATUS status = QueryContextAttributesW(context, SECPKG_ATTR_NAMES, &names);
  if (status != SEC_E_OK) {
    return status;
  }
  PackageBuffer owned(names.sUserName);
  userName = textOrEmpty(names.sUserName);
  return SEC_E_OK;
}

jstring clientUserName(JNIEnv *env, ContextHandle handle) {
  ContextInUse used = useContext(handle);
  SspiContextEntry *entry = establishedServerContext(env, used);
  if (entry == nullptr) {
    return nullptr;
  }
  WideString userName;
  SECURITY_STATUS status = queryUserName(entry->context.address(), userName);
  if (status != SEC_E_OK) {
    throwPlatformError(env, static_cast<DWORD>(status));
    return nullptr;
  }
  return toJavaString(env, stripLocalDomainPrefix(userName));
}

const WCHAR *stateWord(SspiContextState state) {
  switch (state) {
    case SspiContextState::Initial:
      return TEXT("initial");
    case SspiContextState::Negotiating:
      return TEXT("negotiating");
    case SspiContextState::Success:
      return TEXT("success");
    case SspiContextState::Error:
      return TEXT("error");
  }
  return TEXT("unknown");
}

void appendUserName(WideString &report, CtxtHandle *context) {
  WideString userName;
  report += TEXT("\nUser name: ");
  report += queryUserName(context, userName) == SEC_E_OK ? userName : WideString(TEXT("(unknown)"));
}

void appendPackage(WideString &report, CtxtHandle *context) {
  SecPkgContext_PackageInfoW info{};
  if (QueryContextAttributesW(context, SECPKG_ATTR_PACKAGE_INFO, &info) != SEC_E_OK ||
      info.PackageInfo == nullptr) {
    report += TEXT("\nSSP package: (unknown)");
    return;
  }
  PackageBuffer owned(info.PackageInfo);
  if (info.PackageInfo->Name != nullptr) {
    report += TEXT("\nSSP package name: ");
    report += info.PackageInfo->Name;
  }
  if (info.PackageInfo->Comment != nullptr) {
    report += TEXT("\nSSP package comment: ");
    report += info.PackageInfo->Comment;
  }
}

struct AttributeWord {
  ULONG clientBit;  // 0: not reported for a client
  ULONG serverBit;
  const WCHAR *word;
};

// The identify bit differs by role; the last two exist for servers only.
constexpr AttributeWord kAttributeWords[] = {
    {ISC_RET_DELEGATE, ASC_RET_DELEGATE, TEXT("delegate ")},
    {ISC_RET_MUTUAL_AUTH, ASC_RET_MUTUAL_AUTH, TEXT("mutual_auth ")},
    {ISC_RET_CONFIDENTIALITY, ASC_RET_CONFIDENTIALITY, TEXT("confidentiality ")},
    {ISC_RET_USE_SESSION_KEY, ASC_RET_USE_SESSION_KEY, TEXT("use_session_key ")},
    {ISC_RET_CONNECTION, ASC_RET_CONNECTION, TEXT("connection ")},
    {ISC_RET_IDENTIFY, ASC_RET_IDENTIFY, TEXT("identify ")},
    {0, ASC_RET_ALLOW_NON_USER_LOGONS, TEXT("allow_non_user_logons ")},
    {0, ASC_RET_THIRD_LEG_FAILED, TEXT("third_leg_failed ")},
};

void appendAttributeWords(WideString &report, const SspiContextEntry &entry) {
  report += TEXT("\nContext attributes: ");
  for (const AttributeWord &attribute : kAttributeWords) {
    ULONG bit = entry.isClient ? attribute.clientBit : attribute.serverBit;
    if ((entry.contextAttributes & bit) != 0) {
      report += attribute.word;
    }
  }
}

const WCHAR *impersonationLevelWord(DWORD level) {
  switch (level) {
    case SecurityAnonymous:
      return TEXT("Anonymous");
    case SecurityIdentification:
      return TEXT("Identification");
    case SecurityImpersonation:
      return TEXT("Impersonation");
    case SecurityDelegation:
      return TEXT("Delegation");
    default:
      return TEXT("Unknown");
  }
}

// One 32-bit item of the token's information; false when it cannot be read.
bool queryTokenValue(HANDLE token, TOKEN_INFORMATION_CLASS item, DWORD &value) {
  DWORD returned = 0;
  return GetTokenInformation(token, item, &value, sizeof value, &returned) != FALSE;
}

// Lines only for what the token query and each item query answer.
void appendTokenLines(WideString &report, CtxtHandle *context) {
  OwnedHandle token;
  if (QuerySecurityContextToken(context, token.out()) != SEC_E_OK) {
    return;
  }
  DWORD value = 0;
  if (queryTokenValue(token.get(), TokenType, value)) {
    report += TEXT("\nToken type: ");
    report += value == TokenPrimary ? TEXT("primary") : TEXT("impersonation");
  }
  if (queryTokenValue(token.get(), TokenImpersonationLevel, value)) {
    report += TEXT("\nImpersonation level: ");
    report += impersonationLevelWord(value);
  }
}

jstring contextInformation(JNIEnv *env, ContextHandle handle) {
  ContextInUse used = useContext(handle);
  SspiContextEntry *entry = findContextOrThrow(env, used);
  if (entry == nullptr) {
    return nullptr;
  }
  WideString report = TEXT("Type: ");
  report += entry->isClient ? TEXT("client") : TEXT("server");
  report += TEXT("\nState: ");
  report += stateWord(entry->state);
  report += TEXT("\nImpersonating: ");
  report += impersonationLasts(*entry) ? TEXT("true") : TEXT("false");
  appendUserName(report, entry->context.address());
  appendPackage(report, entry->context.address());
  appendAttributeWords(report, *entry);
  appendTokenLines(report, entry->context.address());
  return toJavaString(env, report);
}

}  // namespace

}  // namespace ntseclink

extern "C" JNIEXPORT jstring JNICALL Java_com_corvane_zel_ntseclink_SSPI_GetClientUserName(JNIEnv *env,
                                                                                           jclass,
                                                                                           jint handle) {
  return ntseclink::runNative<jstring>(env, nullptr, [&] { return ntseclink::clientUserName(env, handle); });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_corvane_zel_ntseclink_SSPI_GetContextInformation(JNIEnv *env,
                                                                                               jclass,
                                                                                               jint handle) {
  return ntseclink::runNative<jstring>(env, nullptr,
                                       [&] { return ntseclink::contextInformation(env, handle); });
}
