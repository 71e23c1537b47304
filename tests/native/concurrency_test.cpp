// Many threads using one loaded library at once, each through a JNI
// environment of its own as Java threads would: whole handshakes, message
// protection, impersonation, group checks, user contexts, registry calls and
// releases. Every handle handed out is distinct, nothing leaks, and the work
// ends within a bound (a deadlock fails the run instead of hanging it).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "library_fixture.h"
#include "native_side.h"

namespace ntseclink_test {
namespace {

constexpr int kThreads = 6;
constexpr int kRounds = 50;
constexpr auto kBound = std::chrono::seconds(120);
const std::u16string kProductKey = u"SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell";

// Handles seen by all threads; counters never go back, so no two may match.
class HandleLedger {
 public:
  void add(const char *family, jint handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle == 0 || !seen_.insert({family, handle}).second) {
      duplicates_.push_back(std::string(family) + " " + std::to_string(handle));
    }
  }
  std::vector<std::string> problems() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return duplicates_;
  }

 private:
  mutable std::mutex mutex_;
  std::set<std::pair<std::string, jint>> seen_;
  std::vector<std::string> duplicates_;
};

// One thread's work; the first thing that goes wrong, or "" when all went right.
class Worker {
 public:
  Worker(const jnihost::Natives &api, HandleLedger &ledger, int id) : api_(api), ledger_(ledger), id_(id) {}

  std::string run() {
    for (int round = 0; round < kRounds; ++round) {
      const std::u16string package = round % 2 == 0 ? u"NTLM" : u"Kerberos";
      std::string problem = authenticate(package);
      if (problem.empty()) {
        problem = checkUser();
      }
      if (problem.empty()) {
        problem = useRegistry(round);
      }
      if (problem.empty() && !jvm_.violations().empty()) {
        problem = "JNI misuse: " + jvm_.violations()[0];
      }
      if (!problem.empty()) {
        return "thread " + std::to_string(id_) + ", round " + std::to_string(round) + ": " + problem;
      }
    }
    return jvm_.outstandingPins() == 0 && jvm_.liveClassRefs() == 0 ? ""
                                                                    : "JNI pins or class references left";
  }

 private:
  std::string takeException() {
    std::optional<jnihost::Exception> pending = jvm_.pendingException();
    jvm_.clearException();
    return pending ? pending->className + ": " + pending->message : "";
  }

  // The handshake of a client and a server of this thread; what went wrong, if anything.
  std::string exchangeTokens(jint client, jint server) {
    handshake::NativeSide clientSide(api_, jvm_, client, true);
    handshake::NativeSide serverSide(api_, jvm_, server, false);
    handshake::exchange(clientSide, serverSide);
    std::string problem = takeException();
    if (problem.empty() && !(serverSide.complete() && clientSide.complete())) {
      problem = "the handshake did not complete";
    }
    return problem;
  }

  // A client and a server of this thread, from the first token to release.
  std::string authenticate(const std::u16string &package) {
    constexpr jint kMutualAndConfidential = ISC_REQ_MUTUAL_AUTH | ISC_REQ_CONFIDENTIALITY;
    jint client =
        api_.SSPI_CreateContext(jvm_.env(), nullptr, JNI_TRUE, kMutualAndConfidential,
                                jvm_.newString(package), jvm_.newString(u"HTTP/wks01.corvane.test"));
    jint server =
        api_.SSPI_CreateContext(jvm_.env(), nullptr, JNI_FALSE, 0, jvm_.newString(package), nullptr);
    ledger_.add("sspi", client);
    ledger_.add("sspi", server);
    std::string problem = takeException();
    if (problem.empty()) {
      problem = exchangeTokens(client, server);
    }
    if (problem.empty()) {
      problem = useEstablished(client, server);
    }
    api_.SSPI_FreeHandle(jvm_.env(), nullptr, client);
    api_.SSPI_FreeHandle(jvm_.env(), nullptr, server);
    return problem;
  }

  std::string useEstablished(jint client, jint server) {
    const std::vector<uint8_t> message = {'t', 'h', 'r', 'e', 'a', 'd', static_cast<uint8_t>(id_)};
    jbyteArray sealed = api_.SSPI_Wrap(jvm_.env(), nullptr, client, jvm_.newByteArray(message));
    jbyteArray plain = sealed == nullptr ? nullptr : api_.SSPI_Unwrap(jvm_.env(), nullptr, server, sealed);
    if (plain == nullptr || jvm_.bytes(plain) != message) {
      return "message round trip failed: " + takeException();
    }
    api_.SSPI_StartImpersonating(jvm_.env(), nullptr, server);
    bool impersonating = winsim::threadImpersonating();
    jboolean member =
        api_.SSPI_IsGroupMember(jvm_.env(), nullptr, server, jvm_.newString(u"CORVANE\\Domain Users"));
    bool stillImpersonating = winsim::threadImpersonating();
    api_.SSPI_StopImpersonating(jvm_.env(), nullptr, server);
    std::string problem = takeException();
    if (problem.empty() && (!impersonating || !stillImpersonating || winsim::threadImpersonating())) {
      problem = "impersonation was not this thread's own";
    }
    return problem.empty() && member != JNI_TRUE ? "the client is not in Domain Users" : problem;
  }

  std::string checkUser() {
    jint user = api_.UserAuth_CreateUserContext(jvm_.env(), nullptr, jvm_.newString(u"CORVANE\\alice"));
    ledger_.add("user", user);
    jboolean member =
        api_.UserAuth_IsGroupMember(jvm_.env(), nullptr, user, jvm_.newString(u"CORVANE\\Engineering"));
    api_.UserAuth_FreeHandle(jvm_.env(), nullptr, user);
    std::string problem = takeException();
    return problem.empty() && member != JNI_TRUE ? "alice is not in Engineering" : problem;
  }

  // Each thread writes a value of its own and reads it back.
  std::string useRegistry(int round) {
    std::string name = "thread-" + std::to_string(id_);
    std::u16string valueName(name.begin(), name.end());
    std::u16string text = u"round " + std::u16string(1, static_cast<char16_t>(u'a' + round));
    jint status =
        api_.WinUtil_SetHKLMStringRegValue(jvm_.env(), nullptr, jvm_.newString(kProductKey),
                                           jvm_.newString(valueName), jvm_.newString(text), JNI_TRUE);
    jstring read = api_.WinUtil_GetHKLMStringRegValue(jvm_.env(), nullptr, jvm_.newString(kProductKey),
                                                      jvm_.newString(valueName), JNI_TRUE);
    if (status != 0 || read == nullptr || jvm_.stringValue(read) != text) {
      return "registry value not read back";
    }
    return api_.WinUtil_GetProductInstallPath(jvm_.env(), nullptr) == nullptr ? "no install path" : "";
  }

  const jnihost::Natives &api_;
  HandleLedger &ledger_;
  int id_;
  jnihost::Jvm jvm_;
};

class Concurrency : public LibraryTest {};

TEST_F(Concurrency, ThreadsAuthenticateProtectAndReleaseAtOnce) {
  HandleLedger ledger;
  std::vector<std::future<std::string>> results;
  for (int id = 0; id < kThreads; ++id) {
    results.push_back(
        std::async(std::launch::async, [this, &ledger, id] { return Worker(api(), ledger, id).run(); }));
  }
  auto deadline = std::chrono::steady_clock::now() + kBound;
  for (std::future<std::string> &result : results) {
    if (result.wait_until(deadline) != std::future_status::ready) {
      // A thread that never returns holds a lock: nothing can be cleaned up.
      std::fprintf(stderr, "Concurrency: the threads did not finish within the bound (deadlock?)\n");
      std::abort();
    }
    EXPECT_EQ(result.get(), "");
  }
  EXPECT_EQ(ledger.problems(), std::vector<std::string>{});
  EXPECT_EQ(winsim::liveCounts().authzClientContexts, 0);
  EXPECT_EQ(winsim::liveCounts().credentials, 0);
}

// ---- Interleavings the per-context locks allow -------------------------------

constexpr auto kStepLatency = std::chrono::milliseconds(200);

// Runs `first` on a thread of its own (with a JNI environment of its own)
// until it waits in `slowCall`, which takes kStepLatency, then `second` on
// this thread; whether `second` waited for `first` (it returned no sooner
// than the slow call could end), and the exception `first` left (or "").
struct Overlap {
  bool secondWaitedForFirst = false;
  std::string firstException;
};

template <typename First, typename Second>
Overlap overlap(const char *slowCall, First first, Second second) {
  winsim::clearJournal();
  winsim::setCallLatency(slowCall, kStepLatency);
  auto start = std::chrono::steady_clock::now();
  std::future<std::string> firstDone = std::async(std::launch::async, [first] {
    jnihost::Jvm jvm;
    first(jvm);
    std::optional<jnihost::Exception> pending = jvm.pendingException();
    return pending ? pending->message : std::string();
  });
  auto journalled = [slowCall] {
    std::vector<std::string> names = winsim::journalNames();
    return std::find(names.begin(), names.end(), slowCall) != names.end();
  };
  while (!journalled()) {
    std::this_thread::yield();
  }
  second();
  Overlap out;
  out.secondWaitedForFirst = std::chrono::steady_clock::now() - start >= kStepLatency;
  if (firstDone.wait_for(kBound) != std::future_status::ready) {
    std::fprintf(stderr, "Concurrency: a native did not finish within the bound (deadlock?)\n");
    std::abort();
  }
  out.firstException = firstDone.get();
  winsim::setCallLatency(slowCall, std::chrono::microseconds(0));
  return out;
}

class ConcurrentInterleaving : public Concurrency {
 protected:
  // The exception looking `handle` up leaves; "" while it names a context.
  std::string lookUp(jint handle) {
    api().SSPI_GetChallengeToken(jvm.env(), nullptr, handle);
    return takeException();
  }
};

TEST_F(ConcurrentInterleaving, ReleaseDuringAStepWaitsForItAndThenReleases) {
  jint client = createContext(true, 0, u"NTLM");
  jint server = createContext(false, 0, u"NTLM");
  std::vector<uint8_t> token = challengeToken(client);
  const jnihost::Natives &calls = api();
  Overlap run = overlap(
      "AcceptSecurityContext",
      [&calls, server, token](jnihost::Jvm &other) {
        calls.SSPI_Accept(other.env(), nullptr, server, other.newByteArray(token));
      },
      [&] { freeContext(server); });
  EXPECT_TRUE(run.secondWaitedForFirst);
  EXPECT_EQ(run.firstException, "");
  EXPECT_EQ(takeException(), "");
  EXPECT_EQ(lookUp(server), winAuth("Invalid handle"));
  EXPECT_EQ(winsim::liveCounts().securityContexts, 1);  // the client's
  EXPECT_EQ(winsim::liveCounts().credentials, 1);
  freeContext(client);
}

TEST_F(ConcurrentInterleaving, TwoStepsOfOneContextRunOneAfterTheOther) {
  jint client = createContext(true, 0, u"NTLM");
  jint server = createContext(false, 0, u"NTLM");
  std::vector<uint8_t> token = challengeToken(client);
  const jnihost::Natives &calls = api();
  jboolean secondDone = JNI_TRUE;
  Overlap run = overlap(
      "AcceptSecurityContext",
      [&calls, server, token](jnihost::Jvm &other) {
        calls.SSPI_Accept(other.env(), nullptr, server, other.newByteArray(token));
      },
      [&] { secondDone = api().SSPI_Accept(jvm.env(), nullptr, server, jvm.newByteArray(token)); });
  // The second step came after the first, whole: the first token again is
  // no answer to the server's challenge.
  EXPECT_TRUE(run.secondWaitedForFirst);
  EXPECT_EQ(run.firstException, "");
  EXPECT_EQ(secondDone, JNI_FALSE);
  EXPECT_NE(takeException(), "");
  freeContext(server);
  freeContext(client);
}

TEST_F(ConcurrentInterleaving, ChallengeTokenDuringAStepWaitsForItAndAnswersItsToken) {
  jint client = createContext(true, 0, u"NTLM");
  jint server = createContext(false, 0, u"NTLM");
  std::vector<uint8_t> token = challengeToken(client);
  const jnihost::Natives &calls = api();
  std::vector<uint8_t> duringStep;
  Overlap run = overlap(
      "AcceptSecurityContext",
      [&calls, server, token](jnihost::Jvm &other) {
        calls.SSPI_Accept(other.env(), nullptr, server, other.newByteArray(token));
      },
      [&] { duringStep = challengeToken(server); });
  // Not the empty token of a server that has had no step yet: the
  // challenge the step made, as a call after it would read it.
  EXPECT_TRUE(run.secondWaitedForFirst);
  EXPECT_EQ(run.firstException, "");
  EXPECT_FALSE(duringStep.empty());
  EXPECT_EQ(duringStep, challengeToken(server));
  freeContext(server);
  freeContext(client);
}

TEST_F(ConcurrentInterleaving, CreationRacingReleaseOfItsHandleKeepsTheNewContext) {
  jint before = createContext(false, 0, u"NTLM");
  freeContext(before);
  jint expected = before + 1;
  const jnihost::Natives &calls = api();
  jint created = 0;
  Overlap run = overlap(
      "AcquireCredentialsHandleW",
      [&calls, &created](jnihost::Jvm &other) {
        created =
            calls.SSPI_CreateContext(other.env(), nullptr, JNI_FALSE, 0, other.newString(u"NTLM"), nullptr);
      },
      [&] {
        // Not handed out yet: unknown to every native until its creation ends.
        EXPECT_EQ(lookUp(expected), winAuth("Invalid handle"));
        freeContext(expected);
      });
  EXPECT_EQ(run.firstException, "");
  ASSERT_EQ(created, expected);
  EXPECT_EQ(lookUp(created), "");
  freeContext(created);
  EXPECT_EQ(winsim::liveCounts().credentials, 0);
}

}  // namespace
}  // namespace ntseclink_test
