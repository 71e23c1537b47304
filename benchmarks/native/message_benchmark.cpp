// Wrap plus Unwrap through the natives against EncryptMessage plus
// DecryptMessage called directly on a pair of the same package: the
// difference is the library's own cost (copies, table, lock) plus the host's.
#include <benchmark/benchmark.h>
#include <winsim/control.h>

#include <algorithm>

#include "benchmarks.h"
#include "host_session.h"
#include "package_pair.h"
#include "paired_rounds.h"

namespace ntseclink_bench {

namespace {

constexpr BYTE kFill = 0x5a;
constexpr int kRounds = 31;

// Batches of about 8 MiB of messages, of at least a few calls.
int callsPerBatch(size_t size) {
  return static_cast<int>(std::clamp<size_t>((8u << 20) / size, 4, 2000));
}

// The package transforms the message in place and back: the token in a
// buffer of its own, the padding right after the data, which is where
// DecryptMessage expects it.
class PackageMessages {
 public:
  PackageMessages(const std::u16string &package, size_t size)
      : pair_(package, kClientFlags, targetFor(package)),
        sizes_(pair_.sizes()),
        size_(static_cast<ULONG>(size)),
        token_(sizes_.cbSecurityTrailer),
        message_(size + sizes_.cbBlockSize, kFill) {}

  double batch(int calls) {
    winsim::clearJournal();
    double start = threadCpuNanoseconds();
    for (int i = 0; i < calls; ++i) {
      sealAndOpen();
    }
    return (threadCpuNanoseconds() - start) / calls;
  }

 private:
  void sealAndOpen() {
    SecBuffer sealed[] = {{sizes_.cbSecurityTrailer, SECBUFFER_TOKEN, token_.data()},
                          {size_, SECBUFFER_DATA, message_.data()},
                          {sizes_.cbBlockSize, SECBUFFER_PADDING, message_.data() + size_}};
    SecBufferDesc sealedDescriptor{SECBUFFER_VERSION, 3, sealed};
    requireSuccess(EncryptMessage(pair_.client(), 0, &sealedDescriptor, 0), "EncryptMessage");
    SecBuffer opened[] = {{sealed[0].cbBuffer, SECBUFFER_TOKEN, token_.data()},
                          {size_ + sealed[2].cbBuffer, SECBUFFER_DATA, message_.data()}};
    SecBufferDesc openedDescriptor{SECBUFFER_VERSION, 2, opened};
    requireSuccess(DecryptMessage(pair_.server(), &openedDescriptor, 0, nullptr), "DecryptMessage");
  }

  PackagePair pair_;
  SecPkgContext_Sizes sizes_;
  ULONG size_;
  std::vector<BYTE> token_;
  std::vector<BYTE> message_;
};

// The client wraps, the server unwraps what Java would send it.
class NativeMessages {
 public:
  NativeMessages(const std::u16string &package, size_t size) : content_(size, kFill) {
    Host host;
    peers_ = establish(host, package, kClientFlags, targetFor(package));
  }
  ~NativeMessages() {
    Host host;
    release(host, peers_);
  }
  NativeMessages(const NativeMessages &) = delete;
  NativeMessages &operator=(const NativeMessages &) = delete;

  double batch(int calls) {
    const jnihost::Natives &api = natives();
    Host host(calls + 1);
    jbyteArray message = host.jvm().newByteArray(content_);
    winsim::clearJournal();
    double start = threadCpuNanoseconds();
    for (int i = 0; i < calls; ++i) {
      jbyteArray wrapped = api.SSPI_Wrap(host.env(), nullptr, peers_.client, message);
      benchmark::DoNotOptimize(api.SSPI_Unwrap(host.env(), nullptr, peers_.server, wrapped));
    }
    double elapsed = threadCpuNanoseconds() - start;
    host.check();
    return elapsed / calls;
  }

 private:
  std::vector<uint8_t> content_;
  Peers peers_;
};

void wrapAndUnwrap(benchmark::State &state, const std::u16string &package) {
  const size_t size = static_cast<size_t>(state.range(0));
  const int calls = callsPerBatch(size);
  PackageMessages alone(package, size);
  NativeMessages throughNatives(package, size);
  PairedRounds rounds(state,
                      {[&] { return alone.batch(calls); }, [&] { return throughNatives.batch(calls); }});
  state.counters["us_package"] = rounds.medianNanoseconds(0) / 1e3;
  state.counters["us_natives"] = rounds.medianNanoseconds(1) / 1e3;
  state.counters["ratio"] = rounds.medianRatio(1, 0);
}

}  // namespace

void registerMessageBenchmarks() {
  for (const std::u16string package : {u"NTLM", u"Kerberos"}) {
    const std::string name(package.begin(), package.end());
    benchmark::RegisterBenchmark(("messages/" + name).c_str(), wrapAndUnwrap, package)
        ->Arg(64)
        ->Arg(4096)
        ->Arg(1 << 20)
        ->Iterations(kRounds)
        ->Repetitions(1);
  }
}

}  // namespace ntseclink_bench
