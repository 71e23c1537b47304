// The DLL's figures under Wine without a JVM: the same work as the Windows
// JVM's WineFigures.java, through the natives' exports hosted by the
// project's JNI environment, so that the two can be set side by side.
//
//   wine_figures.exe DLL SPN native COUNT       nanoseconds per GetMaxTokenSize
//   wine_figures.exe DLL SPN handshakes COUNT   Kerberos handshakes per second
//   wine_figures.exe DLL SPN soak COUNT         COUNT handshakes between two
//                                               pauses, for memory read from outside
#include <windows.h>
// After windows.h, which it needs.
#include <sspi.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "handshake.h"
#include "jni_host.h"
#include "native_library.h"
#include "native_side.h"
#include "natives.h"

namespace {

constexpr jint kClientFlags = ISC_REQ_MUTUAL_AUTH | ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
                              ISC_REQ_CONFIDENTIALITY | ISC_REQ_INTEGRITY;
// The host keeps every Java object it made: renewed this often, so that it
// does not grow with the run.
constexpr int kRenewHostEvery = 64;
constexpr int kWarmUp = 1000;

using Clock = std::chrono::steady_clock;

class Figures {
 public:
  Figures(const std::filesystem::path &dll, std::u16string spn)
      : library_(dll), natives_(library_), spn_(std::move(spn)), jvm_(std::make_unique<jnihost::Jvm>()) {
    if (!natives_.missing().empty()) {
      throw std::runtime_error("the DLL lacks natives");
    }
  }

  // Both contexts created, the tokens exchanged, both released.
  void handshake() {
    if (++handshakes_ % kRenewHostEvery == 0) {
      jvm_ = std::make_unique<jnihost::Jvm>();
    }
    const jint client = create(JNI_TRUE);
    const jint server = create(JNI_FALSE);
    handshake::NativeSide clientSide(natives_, *jvm_, client, true);
    handshake::NativeSide serverSide(natives_, *jvm_, server, false);
    handshake::exchange(clientSide, serverSide);
    const bool established = !jvm_->pendingException() && clientSide.complete() && serverSide.complete();
    natives_.SSPI_FreeHandle(jvm_->env(), nullptr, client);
    natives_.SSPI_FreeHandle(jvm_->env(), nullptr, server);
    if (!established) {
      throw std::runtime_error("a handshake did not complete");
    }
  }

  double nanosecondsPerMaxTokenSize(int count) {
    const jint client = create(JNI_TRUE);
    const jint server = create(JNI_FALSE);
    handshake::NativeSide clientSide(natives_, *jvm_, client, true);
    handshake::NativeSide serverSide(natives_, *jvm_, server, false);
    handshake::exchange(clientSide, serverSide);
    long long sum = 0;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
      sum += natives_.SSPI_GetMaxTokenSize(jvm_->env(), nullptr, server);
    }
    const auto elapsed = Clock::now() - start;
    natives_.SSPI_FreeHandle(jvm_->env(), nullptr, client);
    natives_.SSPI_FreeHandle(jvm_->env(), nullptr, server);
    if (sum / count <= 0 || jvm_->pendingException()) {
      throw std::runtime_error("GetMaxTokenSize failed");
    }
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / count;
  }

 private:
  jint create(jboolean isClient) {
    const jint handle =
        natives_.SSPI_CreateContext(jvm_->env(), nullptr, isClient, isClient ? kClientFlags : 0,
                                    jvm_->newString(u"Kerberos"), isClient ? jvm_->newString(spn_) : nullptr);
    if (handle == 0) {
      throw std::runtime_error("CreateContext failed");
    }
    return handle;
  }

  jnihost::NativeLibrary library_;
  jnihost::Natives natives_;
  std::u16string spn_;
  std::unique_ptr<jnihost::Jvm> jvm_;
  long long handshakes_ = 0;
};

// Says where the run is and waits for a line on the input: the driver reads
// the process's memory meanwhile.
void pause(const char *phase) {
  std::printf("%s\n", phase);
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
}

int run(Figures &figures, const std::wstring &mode, int count) {
  if (mode == L"native") {
    figures.nanosecondsPerMaxTokenSize(count);  // warm-up
    std::printf("ns-per-call %.1f\n", figures.nanosecondsPerMaxTokenSize(count));
    return 0;
  }
  for (int i = 0; i < kWarmUp; ++i) {
    figures.handshake();
  }
  if (mode == L"handshakes") {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
      figures.handshake();
    }
    const std::chrono::duration<double> elapsed = Clock::now() - start;
    std::printf("handshakes-per-second %.1f\n", count / elapsed.count());
    return 0;
  }
  if (mode == L"soak") {
    pause("warmed");
    for (int i = 0; i < count; ++i) {
      figures.handshake();
    }
    pause("done");
    return 0;
  }
  std::fprintf(stderr, "unknown mode\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: wine_figures.exe DLL SPN native|handshakes|soak COUNT\n");
    return 2;
  }
  try {
    const std::wstring spn = argv[2];
    Figures figures(argv[1], std::u16string(spn.begin(), spn.end()));
    return run(figures, argv[3], std::stoi(argv[4]));
  } catch (const std::exception &failure) {
    std::fprintf(stderr, "wine_figures: %s\n", failure.what());
    return 1;
  }
}
