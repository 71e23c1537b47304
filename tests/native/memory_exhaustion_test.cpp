// Exhausted memory inside a native: Java receives OutOfMemoryError, the lock
// is released, the entry the native works on is unchanged or failed (never
// advanced) and nothing is leaked, whichever allocation fails.
#include <dlfcn.h>
#include <execinfo.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "handshake_fixture.h"

namespace {

// The library's allocations left before the next one fails; negative: none
// fails. Only allocations made for the library's own code count, also those
// the standard library makes on its behalf: the platform and the JNI host
// stand for system code that does not throw.
std::atomic<int> allocationsBeforeFailure{-1};

// Code of the standard library: its own, or one of its templates instantiated
// in some module (which may be another module's copy that the loader chose).
bool isStandardLibrary(const Dl_info &frame) {
  static const char *const kStdPrefixes[] = {"_ZNSt", "_ZNKSt", "_ZSt", "_ZNSa", "_ZNKSa"};
  if (frame.dli_fname != nullptr && std::strstr(frame.dli_fname, "libstdc++") != nullptr) {
    return true;
  }
  return frame.dli_sname != nullptr &&
         std::any_of(std::begin(kStdPrefixes), std::end(kStdPrefixes), [&frame](const char *prefix) {
           return std::strncmp(frame.dli_sname, prefix, std::strlen(prefix)) == 0;
         });
}

// Whether the allocation whose caller is `caller` is made for the library:
// the first caller outside the standard library decides.
bool madeByTheLibrary(void *caller) {
  void *frames[64];
  int depth = backtrace(frames, 64);
  int first = 0;
  while (first < depth && frames[first] != caller) {
    ++first;
  }
  for (int i = first; i < depth; ++i) {
    Dl_info frame{};
    if (dladdr(frames[i], &frame) == 0) {
      return false;
    }
    if (!isStandardLibrary(frame)) {
      return frame.dli_fname != nullptr && std::strstr(frame.dli_fname, "libntseclink.so") != nullptr;
    }
  }
  return false;
}

void *allocate(std::size_t size, void *caller) {
  if (allocationsBeforeFailure.load() >= 0 && madeByTheLibrary(caller) && allocationsBeforeFailure-- == 0) {
    throw std::bad_alloc();
  }
  if (void *memory = std::malloc(size == 0 ? 1 : size)) {
    return memory;
  }
  throw std::bad_alloc();
}

}  // namespace

// Replacing the global allocation functions here, every form that pairs with
// the deletes below, also replaces them for the library loaded into this
// process.
void *operator new(std::size_t size) {
  return allocate(size, __builtin_return_address(0));
}
void *operator new[](std::size_t size) {
  return allocate(size, __builtin_return_address(0));
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void *memory) noexcept {
  std::free(memory);
}
void operator delete[](void *memory) noexcept {
  std::free(memory);
}
void operator delete(void *memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete[](void *memory, std::size_t) noexcept {
  std::free(memory);
}

namespace ntseclink_test {
namespace {

const std::string kOutOfMemory = std::string(jnihost::kOutOfMemoryError) + ": Native memory exhausted";

// What a native is run on, made afresh for every attempt.
struct Subject {
  Peers peers;
  jint watched = 0;  // the SSPI entry that must not advance; 0 for none
  jint userContext = 0;
  std::vector<uint8_t> input;  // the token or message the native is given
};

// The part of an entry Java can see: its state and its token.
struct EntryView {
  std::string state;
  std::vector<uint8_t> token;
};

class MemoryExhaustion : public HandshakeTest {
 public:
  // For the rows below.
  using HandshakeTest::accept;
  using HandshakeTest::establish;
  using HandshakeTest::initialize;
  using LibraryTest::api;
  using LibraryTest::challengeToken;
  using LibraryTest::createContext;
  using LibraryTest::jvm;

  // Runs `call` with its nth allocation failing; true when one failed.
  template <typename Call>
  bool withFailingAllocation(int nth, Call call) {
    allocationsBeforeFailure = nth;
    call();
    bool failed = allocationsBeforeFailure.load() < 0;
    allocationsBeforeFailure = -1;
    return failed;
  }

  EntryView view(jint handle) {
    jstring report = api().SSPI_GetContextInformation(jvm.env(), nullptr, handle);
    std::u16string text = report == nullptr ? u"" : jvm.stringValue(report);
    size_t start = text.find(u"State: ");
    size_t end = text.find(u'\n', start);
    std::u16string state =
        start == std::u16string::npos ? u"(none)" : text.substr(start + 7, end - start - 7);
    return EntryView{std::string(state.begin(), state.end()), challengeToken(handle)};
  }

  // Another thread takes and leaves both families' locks; a lock that a
  // failed native left held would block it.
  void expectLocksFree() {
    std::thread([this] {
      jnihost::Jvm other;
      api().SSPI_FreeHandle(other.env(), nullptr, 12345);
      api().UserAuth_FreeHandle(other.env(), nullptr, 12345);
    }).join();
  }

  void releaseSubject(const Subject &subject) {
    release(subject.peers);
    api().UserAuth_FreeHandle(jvm.env(), nullptr, subject.userContext);
  }
};

using Test = MemoryExhaustion;

struct ExhaustedNative {
  const char *name;
  void (*prepare)(Test &, Subject &);
  void (*call)(Test &, Subject &);
};

// A pair whose client has sent its negotiate message: the server is still in Initial.
void negotiating(Test &test, Subject &s) {
  s.peers = Peers{test.createContext(true, 0, u"NTLM"), test.createContext(false, 0, u"NTLM")};
  s.watched = s.peers.server;
  s.input = test.challengeToken(s.peers.client);
}

// A pair whose server has sent its challenge: the client's last step is next.
void challenged(Test &test, Subject &s) {
  negotiating(test, s);
  test.accept(s.peers.server, s.input);
  s.watched = s.peers.client;
  s.input = test.challengeToken(s.peers.server);
}

// A pair whose client has sent its last token: the server's last step is next.
void authenticated(Test &test, Subject &s) {
  challenged(test, s);
  test.initialize(s.peers.client, s.input);
  s.watched = s.peers.server;
  s.input = test.challengeToken(s.peers.client);
}

// An established pair, with a message the client sealed for the server.
void established(Test &test, Subject &s) {
  s.peers = test.establish(u"NTLM", ISC_REQ_CONFIDENTIALITY);
  s.watched = s.peers.server;
  s.input = test.jvm.bytes(
      test.api().SSPI_Wrap(test.jvm.env(), nullptr, s.peers.client, test.jvm.newByteArray({7})));
}

void userContext(Test &test, Subject &s) {
  s.userContext =
      test.api().UserAuth_CreateUserContext(test.jvm.env(), nullptr, test.jvm.newString(u"CORVANE\\alice"));
}

void nothing(Test &, Subject &) {}

void PrintTo(const ExhaustedNative &native, std::ostream *out) {
  *out << native.name;
}

class EveryNative : public MemoryExhaustion, public ::testing::WithParamInterface<ExhaustedNative> {};

TEST_P(EveryNative, LeavesLocksFreeEntriesUnadvancedAndNothingHeld) {
  const ExhaustedNative &native = GetParam();
  const std::string loaded = winsim::liveCounts().describe();
  int failures = 0;
  for (int nth = 0; nth < 200; ++nth) {
    SCOPED_TRACE(nth);
    Subject subject;
    native.prepare(*this, subject);
    ASSERT_EQ(takeException(), "");
    EntryView before = subject.watched == 0 ? EntryView{} : view(subject.watched);
    bool failed = withFailingAllocation(nth, [&] { native.call(*this, subject); });
    std::string exception = takeException();
    if (!failed) {
      EXPECT_EQ(exception, "");
      releaseSubject(subject);
      break;
    }
    ++failures;
    EXPECT_EQ(exception, kOutOfMemory);
    expectLocksFree();
    if (subject.watched != 0) {
      EntryView after = view(subject.watched);
      if (after.state != "error") {
        EXPECT_EQ(after.state, before.state);
      }
      EXPECT_EQ(after.token, before.token);
    }
    EXPECT_FALSE(winsim::threadImpersonating());
    releaseSubject(subject);
    EXPECT_EQ(winsim::liveCounts().describe(), loaded);
  }
  EXPECT_GT(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Natives, EveryNative,
    ::testing::Values(
        ExhaustedNative{"AcceptFirstStep", negotiating,
                        [](Test &test, Subject &s) { test.accept(s.watched, s.input); }},
        ExhaustedNative{"AcceptCompletingStep", authenticated,
                        [](Test &test, Subject &s) { test.accept(s.watched, s.input); }},
        ExhaustedNative{"Initialize", challenged,
                        [](Test &test, Subject &s) { test.initialize(s.watched, s.input); }},
        ExhaustedNative{
            "Wrap", established,
            [](Test &test, Subject &s) {
              test.api().SSPI_Wrap(test.jvm.env(), nullptr, s.watched, test.jvm.newByteArray({1, 2}));
            }},
        ExhaustedNative{"Unwrap", established,
                        [](Test &test, Subject &s) {
                          test.api().SSPI_Unwrap(test.jvm.env(), nullptr, s.watched,
                                                 test.jvm.newByteArray(s.input));
                        }},
        ExhaustedNative{"GetClientUserName", established,
                        [](Test &test, Subject &s) {
                          test.api().SSPI_GetClientUserName(test.jvm.env(), nullptr, s.watched);
                        }},
        ExhaustedNative{"GetContextInformation", established,
                        [](Test &test, Subject &s) {
                          test.api().SSPI_GetContextInformation(test.jvm.env(), nullptr, s.watched);
                        }},
        ExhaustedNative{"SspiIsGroupMember", established,
                        [](Test &test, Subject &s) {
                          test.api().SSPI_IsGroupMember(test.jvm.env(), nullptr, s.watched,
                                                        test.jvm.newString(u"Administrators"));
                        }},
        ExhaustedNative{"CreateUserContext", nothing, userContext},
        ExhaustedNative{"UserAuthIsGroupMember", userContext,
                        [](Test &test, Subject &s) {
                          test.api().UserAuth_IsGroupMember(test.jvm.env(), nullptr, s.userContext,
                                                            test.jvm.newString(u"Users"));
                        }},
        ExhaustedNative{"GetUserSID", nothing,
                        [](Test &test, Subject &) {
                          test.api().UserAuth_GetUserSID(test.jvm.env(), nullptr,
                                                         test.jvm.newString(u"CORVANE\\alice"));
                        }}),
    [](const ::testing::TestParamInfo<ExhaustedNative> &row) { return std::string(row.param.name); });

TEST_F(MemoryExhaustion, LoadWithoutMemoryForTheUserFamilyLeavesItUninitialisedAndHoldingNothing) {
  // Names too long to be kept without an allocation of their own.
  winsim::setComputerName(ComputerNameDnsHostname, u"workstation-of-the-accounts-department");
  winsim::setBuiltinDomainName(u"VORDEFINIERTE-KONTEN");
  int failures = 0;
  for (int nth = 0; nth < 100; ++nth) {
    SCOPED_TRACE(nth);
    unload();
    bool failed = withFailingAllocation(nth, [&] { load(); });
    jint handle = api().UserAuth_CreateUserContext(jvm.env(), nullptr, jvm.newString(u"CORVANE\\alice"));
    std::string exception = takeException();
    api().UserAuth_FreeHandle(jvm.env(), nullptr, handle);
    if (!failed) {
      EXPECT_EQ(exception, "");
      break;
    }
    ++failures;
    EXPECT_EQ(exception, winAuth("Not initialized"));
    // The rest of the library works.
    jint server = createContext(false, 0, u"NTLM");
    EXPECT_EQ(takeException(), "");
    freeContext(server);
    unload();
    EXPECT_EQ(winsim::liveCounts().describe(), "none");
    load();
  }
  EXPECT_GT(failures, 0);
}

TEST_F(MemoryExhaustion, ClientCreationUndoesEverythingWhenAnAllocationFails) {
  jstring package = jvm.newString(u"NTLM");
  int failures = 0;
  for (int nth = 0; nth < 40; ++nth) {
    SCOPED_TRACE(nth);
    jint handle = 0;
    bool failed = withFailingAllocation(
        nth, [&] { handle = api().SSPI_CreateContext(jvm.env(), nullptr, JNI_TRUE, 0, package, nullptr); });
    if (!failed) {
      ASSERT_NE(handle, 0);
      freeContext(handle);
      break;
    }
    ++failures;
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(takeException(), std::string(jnihost::kOutOfMemoryError) + ": Native memory exhausted");
    EXPECT_EQ(winsim::liveCounts().credentials, 0);
    EXPECT_EQ(winsim::liveCounts().securityContexts, 0);
    // The lock was released: another native runs.
    freeContext(12345);
  }
  EXPECT_GT(failures, 2);
}

TEST_F(MemoryExhaustion, VirtualMachineRefusingTheResultArray) {
  jint handle = createContext(true, 0, u"NTLM");
  jvm.failAllocations(1);
  EXPECT_EQ(api().SSPI_GetChallengeToken(jvm.env(), nullptr, handle), nullptr);
  EXPECT_EQ(jvm.pendingException()->className, jnihost::kOutOfMemoryError);
  jvm.clearException();
  EXPECT_FALSE(challengeToken(handle).empty());
  freeContext(handle);
}

}  // namespace
}  // namespace ntseclink_test
