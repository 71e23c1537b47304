// Each test starts from a freshly loaded library on the default simulated
// machine, calls the natives through the JNI host, and ends by checking that
// the JNI was used correctly and that nothing the test released leaked.
#pragma once

#include <sspi.h>
#include <gtest/gtest.h>
#include <winsim/control.h>

#include <memory>
#include <optional>
#include <string>

#include "jni_host.h"
#include "natives.h"

namespace ntseclink_test {

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::resetMachine();
    load();
  }

  void TearDown() override {
    unload();
    EXPECT_EQ(jvm.violations(), std::vector<std::string>{});
    EXPECT_EQ(jvm.outstandingPins(), 0);
    EXPECT_EQ(jvm.liveClassRefs(), 0);
    if (expectNoLeaks) {
      EXPECT_EQ(winsim::liveCounts().describe(), "none");
    }
  }

  void load() {
    library = std::make_unique<jnihost::NativeLibrary>(NTSECLINK_LIBRARY_PATH);
    natives = std::make_unique<jnihost::Natives>(*library);
  }

  void unload() {
    natives.reset();
    library.reset();
  }

  void reload() {
    unload();
    load();
  }

  const jnihost::Natives &api() const { return *natives; }

  jstring javaString(const std::optional<std::u16string> &text) {
    return text ? jvm.newString(*text) : nullptr;
  }

  jint createContext(bool client, jint flags, const std::optional<std::u16string> &package,
                     const std::optional<std::u16string> &target = std::nullopt) {
    return api().SSPI_CreateContext(jvm.env(), nullptr, client ? JNI_TRUE : JNI_FALSE, flags,
                                    javaString(package), javaString(target));
  }

  std::vector<uint8_t> challengeToken(jint handle) {
    jbyteArray token = api().SSPI_GetChallengeToken(jvm.env(), nullptr, handle);
    EXPECT_NE(token, nullptr);
    return token == nullptr ? std::vector<uint8_t>{} : jvm.bytes(token);
  }

  void freeContext(jint handle) { api().SSPI_FreeHandle(jvm.env(), nullptr, handle); }

  // The pending exception as "class: message", cleared; "" when none.
  std::string takeException() {
    std::optional<jnihost::Exception> pending = jvm.pendingException();
    jvm.clearException();
    return pending ? pending->className + ": " + pending->message : "";
  }

  static std::string winAuth(const std::string &message) {
    return std::string(jnihost::kWinAuthException) + ": " + message;
  }

  // Makes a new network user in `groups` groups the process identity, so its
  // Kerberos tokens carry that many group SIDs.
  static void runAsUserInManyGroups(int groups) {
    winsim::addAccount(u"CORVANE", u"carol", SidTypeUser);
    for (int i = 0; i < groups; ++i) {
      std::string name = "team-" + std::to_string(i);
      std::u16string group(name.begin(), name.end());
      winsim::addAccount(u"CORVANE", group, SidTypeGroup);
      winsim::addMember(u"CORVANE\\" + group, u"CORVANE\\carol");
    }
    ASSERT_TRUE(winsim::setProcessUser(u"CORVANE\\carol"));
  }

  jnihost::Jvm jvm;
  std::unique_ptr<jnihost::NativeLibrary> library;
  std::unique_ptr<jnihost::Natives> natives;
  bool expectNoLeaks = true;
};

// The position of each name in the journal, to check orders of calls.
inline std::vector<std::string> journalOf(std::initializer_list<const char *> functions) {
  std::vector<std::string> out;
  for (const std::string &name : winsim::journalNames()) {
    for (const char *function : functions) {
      if (name == function) {
        out.push_back(name);
      }
    }
  }
  return out;
}

inline bool journalHas(const std::string &function) {
  for (const std::string &name : winsim::journalNames()) {
    if (name == function) {
      return true;
    }
  }
  return false;
}

}  // namespace ntseclink_test
