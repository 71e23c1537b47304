// The services of an established Kerberos context on Wine, whose package
// answers neither the names nor the package-information query of a context
// and gives no access token of the client.
#include "sspi_peers.h"

namespace {

using wintests::Peers;
using wintests::wineContextReport;

// SEC_E_UNSUPPORTED_FUNCTION: Wine's answer to QueryContextAttributesW for
// SECPKG_ATTR_NAMES and SECPKG_ATTR_PACKAGE_INFO and to
// QuerySecurityContextToken.
constexpr const char *kUnsupportedFunction = "Platform error: 80090302";

}  // namespace

WINDOWS_CASE(ContextInformationReportsWhatWineCannotTell) {
  const auto report = test.natives().SSPI_GetContextInformation;
  Peers peers(test, u"Kerberos");
  test.expectString(report(test.env(), nullptr, peers.server()),
                    wineContextReport(u"server", u"initial", u""), "report of a new server context");
  peers.establish();
  // Of the granted attributes (see the handshake case) only these have words.
  test.expectString(report(test.env(), nullptr, peers.client()),
                    wineContextReport(u"client", u"success", u"mutual_auth confidentiality "),
                    "client report");
  test.expectString(report(test.env(), nullptr, peers.server()),
                    wineContextReport(u"server", u"success", u"mutual_auth confidentiality "),
                    "server report");
  test.expectNoException();
  test.expectCleanReturn();
}

WINDOWS_CASE(ImpersonationNeedsTheTokenWineDoesNotGive) {
  const auto start = test.natives().SSPI_StartImpersonating;
  const auto stop = test.natives().SSPI_StopImpersonating;
  Peers peers(test, u"Kerberos");
  peers.establish();
  start(test.env(), nullptr, peers.server());
  test.expectException(jnihost::kWinAuthException, kUnsupportedFunction);
  stop(test.env(), nullptr, peers.server());
  test.expectException(jnihost::kWinAuthException, "Not impersonating");
  start(test.env(), nullptr, peers.client());
  test.expectException(jnihost::kWinAuthException, "Wrong context type");
  test.expectCleanReturn();
}

WINDOWS_CASE(ClientUserNameNeedsTheNamesQuery) {
  const auto userName = test.natives().SSPI_GetClientUserName;
  Peers peers(test, u"Kerberos");
  peers.establish();
  test.expectNull(userName(test.env(), nullptr, peers.server()), "client user name");
  test.expectException(jnihost::kWinAuthException, kUnsupportedFunction);
  test.expectNull(userName(test.env(), nullptr, peers.client()), "user name on a client context");
  test.expectException(jnihost::kWinAuthException, "Wrong context type");
  test.expectCleanReturn();
}

// A group named with its domain resolves, and then Wine gives no token of the
// client to test it. Without a domain part even a built-in alias is not
// found: Wine's Authz stub fails the library's load step before it captures
// the local domain names such a name is judged against.
WINDOWS_CASE(ClientGroupMembershipNeedsTheTokenWineDoesNotGive) {
  const auto isMember = test.natives().SSPI_IsGroupMember;
  Peers peers(test, u"Kerberos");
  peers.establish();
  const auto ask = [&](const char16_t *group) {
    return isMember(test.env(), nullptr, peers.server(), group ? test.jvm.newString(group) : nullptr);
  };
  test.expect(!ask(u"BUILTIN\\Administrators"), "membership without a token");
  test.expectException(jnihost::kWinAuthException, kUnsupportedFunction);
  test.expect(!ask(u"Administrators"), "membership of a group without its domain");
  test.expectException(jnihost::kGroupNotFoundException, "");
  test.expect(!ask(u"BUILTIN\\NoSuchGroup-wintests"), "membership of an unknown group");
  test.expectException(jnihost::kGroupNotFoundException, "");
  test.expect(!ask(nullptr), "membership of a null group");
  test.expectException(jnihost::kWinAuthException, "Group name cannot be null");
  test.expectCleanReturn();
}
