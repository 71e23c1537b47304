// SSPI context creation on Wine's security packages, with the realm of
// run-wine-tests.sh in reach.
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
