// Acting as the client on the calling thread, and releasing contexts.
#include <thread>
#include <tuple>
#include <utility>

#include "handshake_fixture.h"

namespace ntseclink_test {
namespace {

class Impersonation : public HandshakeTest {
 protected:
  void start(jint handle) { api().SSPI_StartImpersonating(jvm.env(), nullptr, handle); }
  void stop(jint handle) { api().SSPI_StopImpersonating(jvm.env(), nullptr, handle); }

  // The report's line on the impersonation.
  std::string impersonationLine(jint handle) {
    jstring report = api().SSPI_GetContextInformation(jvm.env(), nullptr, handle);
    std::u16string text = report == nullptr ? u"" : jvm.stringValue(report);
    size_t start = text.find(u"Impersonating: ");
    std::u16string line =
        start == std::u16string::npos ? u"" : text.substr(start, text.find(u'\n', start) - start);
    return std::string(line.begin(), line.end());
  }

  // Runs `call` on a thread of its own, with a JNI environment of its own,
  // and lets that thread end; the exception the call left, or "".
  template <typename Call>
  static std::string onThreadThatEnds(Call call) {
    std::string exception;
    std::thread([&call, &exception] {
      jnihost::Jvm own;
      call(own.env());
      std::optional<jnihost::Exception> pending = own.pendingException();
      exception = pending ? pending->className + ": " + pending->message : "";
    }).join();
    return exception;
  }

  // Contexts of two clients, alice and bob, each with the server context
  // that authenticated it; the process is the service again afterwards.
  std::pair<Peers, Peers> twoClientsOfTheService() {
    winsim::setProcessUser(u"CORVANE\\alice");
    Peers alice = establish(u"NTLM", 0);
    winsim::setProcessUser(u"CORVANE\\bob");
    Peers bob = establish(u"NTLM", 0);
    winsim::setProcessUser(u"CORVANE\\svc-tarnwell");
    return {alice, bob};
  }

  // A thread that impersonates through the server and ends.
  std::string impersonateOnThreadThatEnds(jint server) {
    const jnihost::Natives &calls = api();
    return onThreadThatEnds(
        [&calls, server](JNIEnv *env) { calls.SSPI_StartImpersonating(env, nullptr, server); });
  }
};

TEST_F(Impersonation, TheThreadActsAsTheClientUntilItStops) {
  winsim::setProcessUser(u"CORVANE\\alice");  // the client; the server checks its own identity below
  Peers peers = establish(u"NTLM", 0);
  winsim::setProcessUser(u"CORVANE\\svc-tarnwell");

  start(peers.server);
  EXPECT_EQ(takeException(), "");
  EXPECT_EQ(winsim::threadIdentity(), u"CORVANE\\alice");
  EXPECT_EQ(winsim::liveCounts().threads, 1);  // held while the impersonation lasts
  std::u16string otherThread;
  std::thread([&otherThread] { otherThread = winsim::threadIdentity(); }).join();
  EXPECT_EQ(otherThread, u"CORVANE\\svc-tarnwell");
  EXPECT_EQ(winsim::liveCounts().tokens, 0);  // the client's token was closed

  stop(peers.server);
  EXPECT_EQ(takeException(), "");
  EXPECT_FALSE(winsim::threadImpersonating());
  release(peers);
}

TEST_F(Impersonation, ChecksComeInTheirOrder) {
  Peers peers = establish(u"NTLM", 0);
  jint fresh = createContext(false, 0, u"NTLM");
  start(999);
  EXPECT_EQ(takeException(), winAuth("Invalid handle"));
  start(peers.client);
  EXPECT_EQ(takeException(), winAuth("Wrong context type"));
  start(fresh);
  EXPECT_EQ(takeException(), winAuth("Invalid state"));
  stop(fresh);
  EXPECT_EQ(takeException(), winAuth("Invalid state"));
  stop(peers.server);
  EXPECT_EQ(takeException(), winAuth("Not impersonating"));

  start(peers.server);
  start(peers.server);
  EXPECT_EQ(takeException(), winAuth("Already impersonating"));
  EXPECT_TRUE(winsim::threadImpersonating());
  stop(peers.server);
  EXPECT_EQ(takeException(), "");
  freeContext(fresh);
  release(peers);
}

TEST_F(Impersonation, PlatformFailuresLeaveTheFlagAsItWas) {
  Peers peers = establish(u"NTLM", 0);
  winsim::failCall("QuerySecurityContextToken", 0x80090302u);
  start(peers.server);
  EXPECT_EQ(takeException(), winAuth("Platform error: 80090302"));

  winsim::failCall("OpenThread", ERROR_NOT_ENOUGH_MEMORY);
  start(peers.server);
  EXPECT_EQ(takeException(), winAuth("Platform error: 00000008"));
  EXPECT_FALSE(winsim::threadImpersonating());

  winsim::failCall("ImpersonateLoggedOnUser", ERROR_BAD_IMPERSONATION_LEVEL);
  start(peers.server);
  EXPECT_EQ(takeException(), winAuth("Platform error: 00000542"));
  EXPECT_EQ(winsim::liveCounts().tokens, 0);  // closed on the failure path too
  EXPECT_EQ(winsim::liveCounts().threads, 0);
  stop(peers.server);
  EXPECT_EQ(takeException(), winAuth("Not impersonating"));

  start(peers.server);
  winsim::failCall("RevertToSelf", ERROR_ACCESS_DENIED);
  stop(peers.server);
  EXPECT_EQ(takeException(), winAuth("Platform error: 00000005"));
  stop(peers.server);  // still recorded as impersonating
  EXPECT_EQ(takeException(), "");
  release(peers);
}

TEST_F(Impersonation, EndsOnlyOnTheThreadThatBeganIt) {
  Peers alice;
  Peers bob;
  std::tie(alice, bob) = twoClientsOfTheService();
  start(alice.server);

  // Another thread, which impersonates bob through a context of its own.
  std::vector<std::string> refusals;
  std::u16string otherIdentity;
  std::thread([&] {
    jnihost::Jvm other;
    auto refusal = [&other] {
      std::optional<jnihost::Exception> pending = other.pendingException();
      other.clearException();
      return pending ? pending->className + ": " + pending->message : "";
    };
    api().SSPI_StartImpersonating(other.env(), nullptr, bob.server);
    api().SSPI_StopImpersonating(other.env(), nullptr, alice.server);
    refusals.push_back(refusal());
    api().SSPI_FreeHandle(other.env(), nullptr, alice.server);
    refusals.push_back(refusal());
    otherIdentity = winsim::threadIdentity();
    api().SSPI_FreeHandle(other.env(), nullptr, bob.server);  // its own impersonation: reverted
    refusals.push_back(refusal());
    refusals.push_back(winsim::threadImpersonating() ? "still impersonating" : "");
  }).join();
  EXPECT_EQ(refusals, (std::vector<std::string>{winAuth("Impersonating on another thread"),
                                                winAuth("Impersonating on another thread"), "", ""}));
  EXPECT_EQ(otherIdentity, u"CORVANE\\bob");
  EXPECT_EQ(winsim::threadIdentity(), u"CORVANE\\alice");

  // Nothing was released: this thread can still end the impersonation and release.
  stop(alice.server);
  EXPECT_EQ(takeException(), "");
  start(alice.server);
  freeContext(alice.server);
  EXPECT_FALSE(winsim::threadImpersonating());
  freeContext(alice.client);
  freeContext(bob.client);
}

using Release = Impersonation;
// The virtual machine the natives run in, and the kind of thread that calls.
struct CallingThreadRow {
  const char *name;
  jint version;
  bool isVirtual;
  bool threadClassMissing;
  std::string refusal;  // "" when the impersonation begins
};

void PrintTo(const CallingThreadRow &row, std::ostream *out) {
  *out << row.name;
}

class ImpersonationByCallingThread : public Impersonation,
                                     public ::testing::WithParamInterface<CallingThreadRow> {};

// Windows binds an impersonation to the operating-system thread, which a
// virtual thread leaves whenever it blocks: it never begins on one, the
// refusal comes before any other check, and nothing changes. A virtual
// machine before Java 21 has no virtual threads, nor the function that
// tells, which the natives must not reach for.
TEST_P(ImpersonationByCallingThread, BeginsOnlyOnAPlatformThread) {
  const CallingThreadRow &row = GetParam();
  Peers peers = establish(u"NTLM", 0);
  jvm.setVersion(row.version);
  jvm.setVirtualThread(row.isVirtual);
  if (row.threadClassMissing) {
    jvm.failClassLookup(jnihost::kThreadClass);
  }
  winsim::clearJournal();
  start(peers.server);
  EXPECT_EQ(takeException(), row.refusal);
  if (!row.refusal.empty()) {
    EXPECT_EQ(winsim::journalNames(), std::vector<std::string>{});  // no lock, no platform call
    EXPECT_FALSE(winsim::threadImpersonating());
    EXPECT_EQ(impersonationLine(peers.server), "Impersonating: false");
    start(999);
    EXPECT_EQ(takeException(), row.refusal);
  }
  // The context is as it was: on a platform thread an impersonation begins, or goes on.
  jnihost::Jvm platform;
  api().SSPI_StartImpersonating(platform.env(), nullptr, peers.server);
  std::optional<jnihost::Exception> again = platform.pendingException();
  EXPECT_EQ(again ? again->message : "", row.refusal.empty() ? "Already impersonating" : "");
  EXPECT_TRUE(winsim::threadImpersonating());
  EXPECT_EQ(platform.violations(), std::vector<std::string>{});
  stop(peers.server);
  EXPECT_EQ(takeException(), "");
  release(peers);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ImpersonationByCallingThread,
    ::testing::Values(CallingThreadRow{"Java17", jnihost::kJniVersion10, true, false, ""},
                      CallingThreadRow{"PlatformThreadOfJava21", jnihost::kJniVersion21, false, false, ""},
                      CallingThreadRow{"VirtualThreadOfJava21", jnihost::kJniVersion21, true, false,
                                       std::string(jnihost::kWinAuthException) +
                                           ": Cannot impersonate on a virtual thread"},
                      CallingThreadRow{"VirtualThreadOfJava25", 0x00180000, true, false,
                                       std::string(jnihost::kWinAuthException) +
                                           ": Cannot impersonate on a virtual thread"},
                      CallingThreadRow{"ThreadClassNotFound", jnihost::kJniVersion21, false, true,
                                       std::string(jnihost::kNoClassDefFoundError) + ": java/lang/Thread"}),
    [](const ::testing::TestParamInfo<CallingThreadRow> &row) { return std::string(row.param.name); });

// Windows ends a thread's impersonation with the thread: a context whose
// impersonating thread has ended is impersonating no more, for any thread.
TEST_F(Impersonation, AThreadThatEndsTakesItsImpersonationWithIt) {
  Peers peers = establish(u"NTLM", 0);
  EXPECT_EQ(impersonateOnThreadThatEnds(peers.server), "");
  EXPECT_EQ(impersonationLine(peers.server), "Impersonating: false");
  stop(peers.server);
  EXPECT_EQ(takeException(), winAuth("Not impersonating"));
  EXPECT_EQ(winsim::liveCounts().threads, 0);  // the ended thread's handle was closed

  // A new impersonation begins, on this thread, and is this thread's own.
  start(peers.server);
  EXPECT_EQ(takeException(), "");
  EXPECT_TRUE(winsim::threadImpersonating());
  EXPECT_EQ(impersonateOnThreadThatEnds(peers.server), winAuth("Already impersonating"));
  stop(peers.server);
  EXPECT_EQ(takeException(), "");
  release(peers);
}

TEST_F(Release, AContextWhoseImpersonatingThreadEndedIsReleasedByAnyThread) {
  Peers alice;
  Peers bob;
  std::tie(alice, bob) = twoClientsOfTheService();
  api().SSPI_StartImpersonating(jvm.env(), nullptr, bob.server);
  ASSERT_EQ(takeException(), "");

  EXPECT_EQ(impersonateOnThreadThatEnds(alice.server), "");
  winsim::clearJournal();
  freeContext(alice.server);
  EXPECT_EQ(takeException(), "");
  // Released without reverting this thread, which goes on as bob.
  EXPECT_FALSE(journalHas("RevertSecurityContext"));
  EXPECT_TRUE(journalHas("DeleteSecurityContext"));
  EXPECT_EQ(winsim::threadIdentity(), u"CORVANE\\bob");
  EXPECT_EQ(api().SSPI_GetChallengeToken(jvm.env(), nullptr, alice.server), nullptr);
  EXPECT_EQ(takeException(), winAuth("Invalid handle"));

  freeContext(bob.server);
  EXPECT_FALSE(winsim::threadImpersonating());
  freeContext(alice.client);
  freeContext(bob.client);
}

// Windows hands the id of an ended thread to a new one: the new thread must
// not pass for the one that impersonated. It releases the context of the
// ended thread's impersonation without being reverted itself.
TEST_F(Release, ANewThreadWithTheIdOfAnEndedOneIsNotTakenForIt) {
  Peers alice;
  Peers bob;
  std::tie(alice, bob) = twoClientsOfTheService();
  const jnihost::Natives &calls = api();
  EXPECT_EQ(impersonateOnThreadThatEnds(alice.server), "");

  std::u16string identityAfterRelease;
  EXPECT_EQ(onThreadThatEnds([&calls, &alice, &bob, &identityAfterRelease](JNIEnv *env) {
              calls.SSPI_StartImpersonating(env, nullptr, bob.server);
              calls.SSPI_FreeHandle(env, nullptr, alice.server);
              identityAfterRelease = winsim::threadIdentity();
              calls.SSPI_StopImpersonating(env, nullptr, bob.server);
            }),
            "");
  EXPECT_EQ(identityAfterRelease, u"CORVANE\\bob");
  EXPECT_EQ(api().SSPI_GetChallengeToken(jvm.env(), nullptr, alice.server), nullptr);
  EXPECT_EQ(takeException(), winAuth("Invalid handle"));
  freeContext(alice.client);
  release(bob);
}

TEST_F(Release, RevertsDeletesAndFreesInThatOrder) {
  Peers peers = establish(u"NTLM", 0);
  api().SSPI_StartImpersonating(jvm.env(), nullptr, peers.server);
  winsim::clearJournal();
  freeContext(peers.server);
  EXPECT_EQ(
      journalOf({"RevertSecurityContext", "DeleteSecurityContext", "FreeCredentialsHandle"}),
      (std::vector<std::string>{"RevertSecurityContext", "DeleteSecurityContext", "FreeCredentialsHandle"}));
  EXPECT_FALSE(winsim::threadImpersonating());

  winsim::clearJournal();
  freeContext(peers.client);
  EXPECT_FALSE(journalHas("RevertSecurityContext"));
  EXPECT_EQ(winsim::liveCounts().securityContexts + winsim::liveCounts().credentials, 0);
}

TEST_F(Release, EveryStateAndRoleIsReleasedAndIgnoredFailuresStillRemoveTheEntry) {
  jint initial = createContext(false, 0, u"NTLM");
  jint negotiating = createContext(true, 0, u"NTLM");
  jint failed = createContext(false, 0, u"NTLM");
  api().SSPI_Accept(jvm.env(), nullptr, failed, jvm.newByteArray({1, 2, 3}));
  takeException();

  winsim::failCall("DeleteSecurityContext", 0x80090301u);
  winsim::failCall("FreeCredentialsHandle", 0x80090301u);
  freeContext(initial);
  EXPECT_EQ(takeException(), "");
  for (jint handle : {negotiating, failed}) {
    freeContext(handle);
    EXPECT_EQ(api().SSPI_GetChallengeToken(jvm.env(), nullptr, handle), nullptr);
    EXPECT_EQ(takeException(), winAuth("Invalid handle"));
  }
  freeContext(negotiating);  // twice: ignored
  EXPECT_EQ(takeException(), "");
  // Only the credential whose release was made to fail is still there.
  EXPECT_EQ(winsim::liveCounts().credentials, 1);
  EXPECT_EQ(winsim::liveCounts().securityContexts, 0);
  expectNoLeaks = false;
}

}  // namespace
}  // namespace ntseclink_test
