// Creating a client or server security context.
#include "sspi/context_table.h"
#include "sspi/handshake.h"

namespace ntseclink {

namespace {

const WCHAR kDefaultPackage[] = TEXT("Negotiate");
const WCHAR kKerberosPackage[] = TEXT("Kerberos");

// A Kerberos client without a target names its own account.
SECURITY_STATUS ownAccountAsTarget(SspiContextEntry &entry) {
  SecPkgCredentials_NamesW names{};
  SECURITY_STATUS status =
      QueryCredentialsAttributesW(entry.credentials.address(), SECPKG_CRED_ATTR_NAMES, &names);
  if (status != SEC_E_OK) {
    return status;
  }
  PackageBuffer owned(names.sUserName);
  if (names.sUserName != nullptr) {
    entry.targetName = names.sUserName;
    if (!entry.targetName.empty() && entry.targetName.back() == WCHAR('@')) {
      entry.targetName.pop_back();
    }
  }
  return SEC_E_OK;
}

// The client's first handshake step: the entry owns the context the package
// made, and the status decides the entry's fate.
SECURITY_STATUS runFirstStep(SspiContextEntry &entry, HandshakeOutput &output) {
  TimeStamp expiry;
  CtxtHandle made{};
  SECURITY_STATUS status = InitializeSecurityContextW(
      entry.credentials.address(), nullptr, targetOrNull(entry.targetName), entry.requestedFlags, 0,
      SECURITY_NATIVE_DREP, nullptr, 0, &made, output.descriptor(), &entry.contextAttributes, &expiry);
  if (status >= 0) {
    entry.context.reset(made);
  }
  return completeTokenIfNeeded(entry, status, output);
}

// The client's target and first step; false after the platform error.
bool startClient(JNIEnv *env, SspiContextEntry &entry, const WideString &targetName) {
  if (!targetName.empty()) {
    entry.targetName = targetName;
  } else if (entry.isKerberos) {
    SECURITY_STATUS status = ownAccountAsTarget(entry);
    if (status != SEC_E_OK) {
      throwPlatformError(env, static_cast<DWORD>(status));
      return false;
    }
  }
  HandshakeOutput output;
  SECURITY_STATUS status = runFirstStep(entry, output);
  PreparedStep step;
  if (!prepareStep(env, entry.context.address(), status, output, step)) {
    return false;
  }
  commitStep(entry, step);
  return true;
}

// False after the platform error.
bool acquireCredentials(JNIEnv *env, SspiContextEntry &entry, WideString &packageName) {
  TimeStamp expiry;
  CredHandle acquired{};
  SECURITY_STATUS status = AcquireCredentialsHandleW(
      nullptr, packageName.data(), entry.isClient ? SECPKG_CRED_OUTBOUND : SECPKG_CRED_INBOUND, nullptr,
      nullptr, nullptr, nullptr, &acquired, &expiry);
  if (status != SEC_E_OK) {
    throwPlatformError(env, static_cast<DWORD>(status));
    return false;
  }
  entry.credentials.reset(acquired);
  return true;
}

// The package calls run with no lock held; a creation that does not finish
// leaves no entry: the pending entry goes, giving back what it acquired.
jint createContext(JNIEnv *env, bool isClient, ULONG requestedFlags, WideString packageName,
                   const WideString &targetName) {
  PendingEntry<SspiContextEntry> pending(nextSspiHandle());
  SspiContextEntry &entry = pending.entry();
  entry.requestedFlags = requestedFlags;
  entry.isClient = isClient;
  if (packageName.empty()) {
    packageName = kDefaultPackage;
  }
  entry.isKerberos = packageName == kKerberosPackage;
  if (!acquireCredentials(env, entry, packageName)) {
    return 0;
  }
  if (!isClient) {
    // The first Accept makes the context in place. The entry owns it from
    // now, so that its release deletes whatever the package left there, also
    // the empty handle of a server that never accepted a token.
    entry.context.reset(CtxtHandle{});
    entry.state = SspiContextState::Initial;
    return pending.keep(libraryLock(), sspiContextTable());
  }
  return startClient(env, entry, targetName) ? pending.keep(libraryLock(), sspiContextTable()) : 0;
}

}  // namespace

}  // namespace ntseclink

extern "C" JNIEXPORT jint JNICALL Java_com_corvane_zel_ntseclink_SSPI_CreateContext(
    JNIEnv *env, jclass, jboolean isClient, jint requestedFlags, jstring packageName, jstring targetName) {
  return ntseclink::runNative<jint>(env, 0, [&]() -> jint {
    ntseclink::WideString package = ntseclink::toWholeWideString(env, packageName);
    ntseclink::WideString target = ntseclink::toWholeWideString(env, targetName);
    if (ntseclink::holdsNullCharacter(package)) {
      ntseclink::throwWinAuthException(env, "Package name cannot contain U+0000");
      return 0;
    }
    if (ntseclink::holdsNullCharacter(target)) {
      ntseclink::throwWinAuthException(env, "Target name cannot contain U+0000");
      return 0;
    }
    return ntseclink::createContext(env, isClient != JNI_FALSE, static_cast<ULONG>(requestedFlags),
                                    std::move(package), target);
  });
}
