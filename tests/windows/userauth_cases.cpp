// The user-authorization family on Wine, whose Authz is a stub: the
// resource manager cannot be made (AuthzInitializeResourceManager fails with
// ERROR_CALL_NOT_IMPLEMENTED), so the library loads with the family
// uninitialised, while the SID lookup, which needs no Authz, still answers.
#include "harness.h"

WINDOWS_CASE(UserContextsAreNotInitializedWithoutAuthz) {
  const auto create = test.natives().UserAuth_CreateUserContext;
  const auto isMember = test.natives().UserAuth_IsGroupMember;
  const auto release = test.natives().UserAuth_FreeHandle;
  test.expectEqual(create(test.env(), nullptr, test.jvm.newString(u"BUILTIN\\Administrators")), 0,
                   "handle of a refused user context");
  test.expectException(jnihost::kWinAuthException, "Not initialized");
  test.expect(!isMember(test.env(), nullptr, 2, test.jvm.newString(u"BUILTIN\\Administrators")),
              "membership without a user context");
  test.expectException(jnihost::kWinAuthException, "Not initialized");
  release(test.env(), nullptr, 2);
  test.expectNoException();
  test.expectCleanReturn();
}

WINDOWS_CASE(UserSidsResolveWithoutAuthz) {
  const auto sidOf = test.natives().UserAuth_GetUserSID;
  test.expectString(sidOf(test.env(), nullptr, test.jvm.newString(u"BUILTIN\\Administrators")),
                    u"S-1-5-32-544", "SID of BUILTIN\\Administrators");
  test.expectNull(sidOf(test.env(), nullptr, test.jvm.newString(u"NoSuchAccount-wintests")),
                  "SID of an unknown name");
  test.expectNoException();
  test.expectCleanReturn();
}
