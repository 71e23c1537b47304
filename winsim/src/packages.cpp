// The security packages' exported functions: credentials, context steps,
// attributes, buffers and the client's token. Negotiate, NTLM and Kerberos
// run between a client and a server context of this process
// (package_handshakes.cpp).
#include "packages.h"

#include <string>

#include "package_handshakes.h"
#include "package_state.h"
#include "sim.h"

namespace winsim::detail {
namespace {

std::u16string optionalText(const SEC_WCHAR *text) {
  return text == nullptr ? std::u16string() : text;
}

bool namesAccount(const std::u16string &name, const Account &account) {
  return equalsIgnoreCase(name, account.name) || equalsIgnoreCase(name, account.qualifiedName()) ||
         equalsIgnoreCase(name, account.name + u"@" + kerberosRealm());
}

std::u16string credentialName(const Credential &credential) {
  auto override = packages().credentialNameOverrides.find(credential.package);
  if (override != packages().credentialNameOverrides.end()) {
    return override->second;
  }
  if (credential.package == Package::Kerberos) {
    return credential.account.name + u"@" + kerberosRealm();
  }
  return credential.account.qualifiedName();
}

// Kerberos has no anonymous logon here: its credentials stay the process user's.
bool signsOnAnonymously(Package package, ULONG use) {
  return packages().anonymousNtlmClients && package != Package::Kerberos && (use & SECPKG_CRED_OUTBOUND) != 0;
}

SECURITY_STATUS acquireCredentials(const std::u16string &principal, const std::u16string &packageName,
                                   ULONG use, const void *authData, PCredHandle handle, PTimeStamp expiry) {
  auto package = findPackage(packageName);
  if (!package) {
    return SEC_E_SECPKG_NOT_FOUND;
  }
  if (handle == nullptr || (use & SECPKG_CRED_BOTH) == 0 ||
      (use & ~static_cast<ULONG>(SECPKG_CRED_BOTH)) != 0) {
    return SEC_E_INVALID_PARAMETER;
  }
  if (authData != nullptr) {
    return SEC_E_UNKNOWN_CREDENTIALS;  // explicit credentials cannot be verified here
  }
  Account account = use == SECPKG_CRED_OUTBOUND ? clientUser() : processUser();
  if (!principal.empty() && !namesAccount(principal, account)) {
    return SEC_E_NO_CREDENTIALS;
  }
  if (signsOnAnonymously(*package, use)) {
    account = anonymousLogon();
  }
  ULONG_PTR id = packages().nextHandle++;
  packages().credentials[id] = Credential{*package, use, account};
  resourceAcquired(Resource::Credentials);
  *handle = {id, kCredentialTag};
  setExpiry(expiry);
  return SEC_E_OK;
}

// Only the names are known of credentials.
SECURITY_STATUS queryCredentialAttribute(const Credential &credential, ULONG attribute, void *buffer) {
  if (attribute != SECPKG_CRED_ATTR_NAMES) {
    return SEC_E_UNSUPPORTED_FUNCTION;
  }
  if (buffer == nullptr) {
    return SEC_E_INVALID_PARAMETER;
  }
  static_cast<SecPkgCredentials_NamesW *>(buffer)->sUserName = allocateString(credentialName(credential));
  return SEC_E_OK;
}

// Sizes and names exist once the handshake is complete; the package
// information at any time.
SECURITY_STATUS queryContextAttribute(const Context &context, ULONG attribute, void *buffer) {
  if (buffer == nullptr) {
    return SEC_E_INVALID_PARAMETER;
  }
  if (packages().unsupportedContextAttributes.count(attribute) != 0) {
    return SEC_E_UNSUPPORTED_FUNCTION;
  }
  if (attribute == SECPKG_ATTR_PACKAGE_INFO) {
    static_cast<SecPkgContext_PackageInfoW *>(buffer)->PackageInfo = allocatePackageInfo(context.mechanism);
    return SEC_E_OK;
  }
  if (attribute != SECPKG_ATTR_SIZES && attribute != SECPKG_ATTR_NAMES) {
    return SEC_E_UNSUPPORTED_FUNCTION;
  }
  if (context.leg != Leg::Established) {
    return SEC_E_INVALID_HANDLE;
  }
  if (attribute == SECPKG_ATTR_SIZES) {
    *static_cast<SecPkgContext_Sizes *>(buffer) = sizesOf(context.mechanism);
  } else {
    static_cast<SecPkgContext_NamesW *>(buffer)->sUserName =
        allocateString(packages().contextUserNameOverride.value_or(context.client.qualifiedName()));
  }
  return SEC_E_OK;
}

SECURITY_STATUS clientToken(const Context &context, void **token) {
  if (token == nullptr) {
    return SEC_E_INVALID_PARAMETER;
  }
  if (!context.isServer) {
    return SEC_E_UNSUPPORTED_FUNCTION;  // a client has no one to act for
  }
  if (context.leg != Leg::Established) {
    return SEC_E_INVALID_HANDLE;
  }
  bool identifyOnly = (context.clientRequest & ISC_REQ_IDENTIFY) != 0;
  ContextTokenKind kind = packages().contextTokenKind.value_or(
      ContextTokenKind{TokenImpersonation, identifyOnly ? SecurityIdentification : SecurityImpersonation});
  *token = createToken({context.client.sid, kind.type, kind.level, linkedTokensEnabled()});
  return SEC_E_OK;
}

}  // namespace
}  // namespace winsim::detail

using namespace winsim::detail;

// ---- Credentials ---------------------------------------------------------------------

WINSIM_API SECURITY_STATUS SEC_ENTRY AcquireCredentialsHandleW(SEC_WCHAR *pszPrincipal, SEC_WCHAR *pszPackage,
                                                               ULONG fCredentialUse, void *, void *pAuthData,
                                                               SEC_GET_KEY_FN, void *,
                                                               PCredHandle phCredential,
                                                               PTimeStamp ptsExpiry) {
  return packageCall("AcquireCredentialsHandleW", journalText(pszPackage) + " use=" + hexText(fCredentialUse),
                     [&] {
                       return acquireCredentials(optionalText(pszPrincipal), optionalText(pszPackage),
                                                 fCredentialUse, pAuthData, phCredential, ptsExpiry);
                     });
}

WINSIM_API SECURITY_STATUS SEC_ENTRY FreeCredentialsHandle(PCredHandle phCredential) {
  return credentialCall("FreeCredentialsHandle", {}, phCredential, [&](const Credential &) {
    packages().credentials.erase(phCredential->dwLower);
    resourceReleased(Resource::Credentials);
    return SEC_E_OK;
  });
}

WINSIM_API SECURITY_STATUS SEC_ENTRY QueryCredentialsAttributesW(PCredHandle phCredential, ULONG ulAttribute,
                                                                 void *pBuffer) {
  return credentialCall("QueryCredentialsAttributesW", std::to_string(ulAttribute), phCredential,
                        [&](const Credential &credential) {
                          return queryCredentialAttribute(credential, ulAttribute, pBuffer);
                        });
}

// ---- Context steps ----------------------------------------------------------------------

WINSIM_API SECURITY_STATUS SEC_ENTRY InitializeSecurityContextW(
    PCredHandle phCredential, PCtxtHandle phContext, SEC_WCHAR *pszTargetName, ULONG fContextReq, ULONG,
    ULONG, PSecBufferDesc pInput, ULONG, PCtxtHandle phNewContext, PSecBufferDesc pOutput,
    ULONG *pfContextAttr, PTimeStamp ptsExpiry) {
  return packageCall("InitializeSecurityContextW", journalText(pszTargetName), [&] {
    return clientStep(
        {phCredential, phContext, phNewContext, pInput, pOutput, fContextReq, pfContextAttr, ptsExpiry},
        optionalText(pszTargetName));
  });
}

WINSIM_API SECURITY_STATUS SEC_ENTRY AcceptSecurityContext(PCredHandle phCredential, PCtxtHandle phContext,
                                                           PSecBufferDesc pInput, ULONG fContextReq, ULONG,
                                                           PCtxtHandle phNewContext, PSecBufferDesc pOutput,
                                                           ULONG *pfContextAttr, PTimeStamp ptsExpiry) {
  return packageCall("AcceptSecurityContext", {}, [&] {
    return serverStep(
        {phCredential, phContext, phNewContext, pInput, pOutput, fContextReq, pfContextAttr, ptsExpiry});
  });
}

WINSIM_API SECURITY_STATUS SEC_ENTRY CompleteAuthToken(PCtxtHandle phContext, PSecBufferDesc) {
  return contextCall("CompleteAuthToken", {}, phContext, [](const Context &) { return SEC_E_OK; });
}

WINSIM_API SECURITY_STATUS SEC_ENTRY DeleteSecurityContext(PCtxtHandle phContext) {
  return contextCall("DeleteSecurityContext", {}, phContext, [&](const Context &) {
    packages().contexts.erase(phContext->dwLower);
    resourceReleased(Resource::SecurityContexts);
    return SEC_E_OK;
  });
}

// ---- Established contexts ---------------------------------------------------------------

WINSIM_API SECURITY_STATUS SEC_ENTRY QueryContextAttributesW(PCtxtHandle phContext, ULONG ulAttribute,
                                                             void *pBuffer) {
  return contextCall(
      "QueryContextAttributesW", std::to_string(ulAttribute), phContext,
      [&](const Context &context) { return queryContextAttribute(context, ulAttribute, pBuffer); });
}

WINSIM_API SECURITY_STATUS SEC_ENTRY FreeContextBuffer(PVOID pvContextBuffer) {
  return packageCall("FreeContextBuffer", {}, [&] {
    return pvContextBuffer == nullptr || freePackageBuffer(pvContextBuffer) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
  });
}

WINSIM_API SECURITY_STATUS SEC_ENTRY QuerySecurityContextToken(PCtxtHandle phContext, void **Token) {
  return contextCall("QuerySecurityContextToken", {}, phContext,
                     [&](const Context &context) { return clientToken(context, Token); });
}

WINSIM_API SECURITY_STATUS SEC_ENTRY RevertSecurityContext(PCtxtHandle phContext) {
  return contextCall("RevertSecurityContext", {}, phContext, [](const Context &) {
    endImpersonation();
    return SEC_E_OK;
  });
}
