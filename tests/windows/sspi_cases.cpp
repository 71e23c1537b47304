// SSPI context creation on Wine's security packages, with the realm of
// run-wine-tests.sh in reach, and the thread handles a release relies on.
#include <windows.h>

#include "sspi_peers.h"

namespace {

using wintests::kClient;
using wintests::kServer;

// SEC_E_SECPKG_NOT_FOUND: Wine's answer for a package it does not have.
constexpr const char *kPackageNotFound = "Platform error: 80090305";
// SEC_E_UNSUPPORTED_FUNCTION: Wine's Kerberos package does not answer the
// credential-name query (QueryCredentialsAttributesW, SECPKG_CRED_ATTR_NAMES)
// that names a Kerberos client's own account as its target.
constexpr const char *kUnsupportedFunction = "Platform error: 80090302";

DWORD WINAPI waitForEvent(LPVOID event) {
  WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  return 0;
}

}  // namespace

WINDOWS_CASE(LibraryLoadsAndExportsCreateContext) {
  test.expect(test.natives().SSPI_CreateContext != nullptr, "SSPI.CreateContext not exported");
}

WINDOWS_CASE(UnknownPackageFailsWithThePlatformStatus) {
  wintests::Sspi sspi(test);
  for (const jboolean role : {kServer, kClient}) {
    test.expectEqual(sspi.create(role, u"NoSuchPackage"), 0, "handle of a failed creation");
    test.expectException(jnihost::kWinAuthException, kPackageNotFound);
  }
}

WINDOWS_CASE(MissingExceptionClassLeavesNoClassDefFoundErrorPending) {
  test.jvm.failClassLookup(jnihost::kWinAuthException);
  test.expectEqual(wintests::Sspi(test).create(kServer, u"NoSuchPackage"), 0, "handle of a failed creation");
  test.expectException(jnihost::kNoClassDefFoundError, jnihost::kWinAuthException);
}

// Null and empty both mean "Negotiate": the server they make completes a
// handshake with a Negotiate client.
WINDOWS_CASE(DefaultPackageIsNegotiate) {
  for (const char16_t *defaultPackage : {static_cast<const char16_t *>(nullptr), u""}) {
    wintests::Peers peers(test, u"Negotiate", defaultPackage);
    peers.establish();
  }
}

WINDOWS_CASE(KerberosClientWithoutTargetFailsOnWine) {
  wintests::Sspi sspi(test);
  test.expectEqual(sspi.create(kClient, u"Kerberos"), 0, "handle of a failed creation");
  test.expectException(jnihost::kWinAuthException, kUnsupportedFunction);
}

// A failed creation leaves nothing behind and loses its handle number.
WINDOWS_CASE(FailedCreationsSkipTheirHandleNumbers) {
  wintests::Sspi sspi(test);
  const jint first = sspi.create(kServer, u"Kerberos");
  sspi.create(kServer, u"NoSuchPackage");
  test.expectException(jnihost::kWinAuthException, kPackageNotFound);
  const jint second = sspi.create(kServer, u"Kerberos");
  test.expectNoException();
  test.expectEqual(first, 2, "first handle after load");
  test.expectEqual(second, first + 2, "handle after a failed creation");
  sspi.freeHandle(first);
  sspi.freeHandle(second);
}

// What a context relies on to be released once its impersonating thread has
// ended, which the DLL cannot show here (Wine gives no client token to
// impersonate): a handle opened to a thread tells when it has ended, and
// while it is held the thread's id still names that thread.
WINDOWS_CASE(AThreadHandleTellsWhenItsThreadHasEnded) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE created = CreateThread(nullptr, 0, waitForEvent, release, 0, &id);
  test.expect(release != nullptr && created != nullptr, "thread or event not created");
  HANDLE opened = OpenThread(SYNCHRONIZE, FALSE, id);
  test.expect(opened != nullptr, "OpenThread of a running thread");
  test.expectEqual(WaitForSingleObject(opened, 0), WAIT_TIMEOUT, "wait on a running thread");
  SetEvent(release);
  test.expectEqual(WaitForSingleObject(opened, 10000), WAIT_OBJECT_0, "wait on a thread that ended");
  CloseHandle(created);
  HANDLE again = OpenThread(SYNCHRONIZE, FALSE, id);
  test.expect(again != nullptr, "the id of an ended thread a handle still refers to");
  test.expectEqual(WaitForSingleObject(again, 0), WAIT_OBJECT_0, "wait on it again");
  CloseHandle(again);
  CloseHandle(opened);
  CloseHandle(release);
}
