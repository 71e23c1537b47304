// SSPI context creation on Wine's security packages.
#include "harness.h"

namespace {

constexpr jboolean kServer = JNI_FALSE;
constexpr jboolean kClient = JNI_TRUE;
// SEC_E_SECPKG_NOT_FOUND: Wine's answer for a package it does not have.
constexpr const char *kPackageNotFound = "Platform error: 80090305";
// SEC_E_NO_CREDENTIALS: Wine's Negotiate finds no credentials of the process
// in either role while no Kerberos realm is set up for it.
constexpr const char *kNoCredentials = "Platform error: 8009030e";

jint createContext(wintests::Case &test, jboolean isClient, const char16_t *package) {
  const auto create = test.require(test.natives().SSPI_CreateContext, "SSPI.CreateContext");
  return create(test.env(), nullptr, isClient, 0, package ? test.jvm.newString(package) : nullptr, nullptr);
}

}  // namespace

WINDOWS_CASE(LibraryLoadsAndExportsCreateContext) {
  test.expect(test.natives().SSPI_CreateContext != nullptr, "SSPI.CreateContext not exported");
}

WINDOWS_CASE(UnknownPackageFailsWithThePlatformStatus) {
  for (const jboolean role : {kServer, kClient}) {
    test.expectEqual(createContext(test, role, u"NoSuchPackage"), 0, "handle of a failed creation");
    test.expectException(jnihost::kWinAuthException, kPackageNotFound);
    test.expectCleanReturn();
  }
}

WINDOWS_CASE(MissingExceptionClassLeavesNoClassDefFoundErrorPending) {
  test.jvm.failClassLookup(jnihost::kWinAuthException);
  test.expectEqual(createContext(test, kServer, u"NoSuchPackage"), 0, "handle of a failed creation");
  test.expectException(jnihost::kNoClassDefFoundError, jnihost::kWinAuthException);
  test.expectCleanReturn();
}

WINDOWS_CASE(DefaultPackageIsNegotiateWhichHasNoCredentialsWithoutARealm) {
  for (const char16_t *defaultPackage : {static_cast<const char16_t *>(nullptr), u""}) {
    test.expectEqual(createContext(test, kServer, defaultPackage), 0, "handle of a failed creation");
    test.expectException(jnihost::kWinAuthException, kNoCredentials);
    test.expectCleanReturn();
  }
}
