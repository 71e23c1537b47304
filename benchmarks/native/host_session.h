// What every benchmark of the natives shares: the library, loaded once for
// the process, and a JNI host per thread that is replaced before it grows.
#pragma once

#include <sspi.h>
#include <jni.h>

#include <memory>
#include <string>

#include "jni_host.h"
#include "natives.h"

namespace ntseclink_bench {

// The library's natives; the library is loaded on first use and stays.
const jnihost::Natives &natives();
// The natives of a separate copy of the library (0, 1, 2, ...), loaded side
// by side with the others, with tables of its own.
const jnihost::Natives &libraryCopy(int copy);

// A JNI host for one thread. The host keeps every object and call it ever
// saw, and the simulated platform journals every call, so both are renewed
// every `renewEvery` calls: otherwise later calls would cost more than
// earlier ones for reasons outside the library.
class Host {
 public:
  explicit Host(int renewEvery = 1024);

  JNIEnv *env() { return jvm_->env(); }
  jnihost::Jvm &jvm() { return *jvm_; }
  // Java null for an empty text.
  jstring string(const std::u16string &text);

  // Counts a call; true when the host was renewed, so the caller's Java
  // objects are gone. Throws when a native left an exception pending.
  bool count();
  // Throws std::runtime_error naming the exception a native left pending.
  void check() const;

 private:
  void renew();

  std::unique_ptr<jnihost::Jvm> jvm_;
  int renewEvery_;
  int calls_ = 0;
};

struct Peers {
  jint client = 0;
  jint server = 0;
};

// A client and a server context established by the natives, passing tokens
// between them as two Java peers would.
Peers establish(Host &host, const std::u16string &package, jint clientFlags, const std::u16string &target);
void release(Host &host, const Peers &peers);
// `count` full handshakes through the natives on a host of their own, from
// the creation of both contexts to their release.
void handshakesThroughNatives(const std::u16string &package, int count);

// What the client of every benchmark asks for: a protected session.
constexpr jint kClientFlags = ISC_REQ_MUTUAL_AUTH | ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
                              ISC_REQ_CONFIDENTIALITY | ISC_REQ_INTEGRITY;

// The Kerberos service of the simulated machine.
inline const std::u16string kKerberosTarget = u"HTTP/wks01.corvane.test";
// The target a handshake of this package needs: Kerberos needs a service.
std::u16string targetFor(const std::u16string &package);

}  // namespace ntseclink_bench
