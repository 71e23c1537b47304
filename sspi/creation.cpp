// Creating a client or server security context.
#include "bridge/critical_section_lock.h"
#include "bridge/platform_resource.h"
#include "sspi/context_table.h"
#include "sspi/handshake.h"

namespace ntseclink {

namespace {

const WCHAR kDefaultPackage[] = TEXT("Negotiate");
const WCHAR kKerberosPackage[] = TEXT("Kerberos");

// Undoes a creation that does not finish: releases what it acquired and
// removes its entry, also when an allocation failure unwinds through it.
class CreationUndo {
 public:
  CreationUndo(SspiContextTable &table, SspiContextEntry &entry) : table_(table), entry_(entry) {}
  ~CreationUndo() { rollBack(); }
  CreationUndo(const CreationUndo &) = delete;
  CreationUndo &operator=(const CreationUndo &) = delete;

  void credentialsAcquired() { credentialsAcquired_ = true; }
  void contextCreated() { contextCreated_ = true; }
  void commit() { committed_ = true; }

  void rollBack() {
    if (committed_) {
      return;
    }
    committed_ = true;
    if (contextCreated_) {
      DeleteSecurityContext(&entry_.context);
    }
    if (credentialsAcquired_) {
      FreeCredentialsHandle(&entry_.credentials);
    }
    table_.remove(entry_.handle);
  }

 private:
  SspiContextTable &table_;
  SspiContextEntry &entry_;
  bool credentialsAcquired_ = false;
  bool contextCreated_ = false;
  bool committed_ = false;
};

// A Kerberos client without a target names its own account.
SECURITY_STATUS ownAccountAsTarget(SspiContextEntry &entry) {
  SecPkgCredentials_NamesW names{};
  SECURITY_STATUS status = QueryCredentialsAttributesW(&entry.credentials, SECPKG_CRED_ATTR_NAMES, &names);
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

// The client's first handshake step; the status decides the entry's fate.
SECURITY_STATUS runFirstStep(SspiContextEntry &entry, HandshakeOutput &output, CreationUndo &undo) {
  TimeStamp expiry;
  SECURITY_STATUS status =
      InitializeSecurityContextW(&entry.credentials, nullptr, targetOrNull(entry.targetName),
                                 entry.requestedFlags, 0, SECURITY_NATIVE_DREP, nullptr, 0, &entry.context,
                                 output.descriptor(), &entry.contextAttributes, &expiry);
  if (status >= 0) {
    undo.contextCreated();
  }
  return completeTokenIfNeeded(entry, status, output);
}

jint createClientContext(JNIEnv *env, SspiContextEntry &entry, WideString &targetName, CreationUndo &undo) {
  if (!targetName.empty()) {
    entry.targetName = targetName;
  } else if (entry.isKerberos) {
    SECURITY_STATUS status = ownAccountAsTarget(entry);
    if (status != SEC_E_OK) {
      undo.rollBack();
      throwPlatformError(env, static_cast<DWORD>(status));
      return 0;
    }
  }
  HandshakeOutput output;
  SECURITY_STATUS status = runFirstStep(entry, output, undo);
  PreparedStep step;
  if (!prepareStep(env, entry.context, status, output, step)) {
    undo.rollBack();
    return 0;
  }
  commitStep(entry, step);
  undo.commit();
  return entry.handle;
}

jint createContext(JNIEnv *env, bool isClient, ULONG requestedFlags, WideString packageName,
                   WideString targetName) {
  CriticalSectionLock lock(libraryLock());
  SspiContextTable &table = sspiContextTable();
  SspiContextEntry &entry = table.append(nextSspiHandle());
  CreationUndo undo(table, entry);
  entry.requestedFlags = requestedFlags;
  entry.isClient = isClient;
  if (packageName.empty()) {
    packageName = kDefaultPackage;
  }
  entry.isKerberos = packageName == kKerberosPackage;

  TimeStamp expiry;
  SECURITY_STATUS status = AcquireCredentialsHandleW(
      nullptr, packageName.data(), isClient ? SECPKG_CRED_OUTBOUND : SECPKG_CRED_INBOUND, nullptr, nullptr,
      nullptr, nullptr, &entry.credentials, &expiry);
  if (status != SEC_E_OK) {
    undo.rollBack();
    throwPlatformError(env, static_cast<DWORD>(status));
    return 0;
  }
  undo.credentialsAcquired();
  if (!isClient) {
    entry.state = SspiContextState::Initial;
    undo.commit();
    return entry.handle;
  }
  return createClientContext(env, entry, targetName, undo);
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
                                    std::move(package), std::move(target));
  });
}
