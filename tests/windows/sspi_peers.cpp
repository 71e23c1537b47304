#include "sspi_peers.h"

namespace wintests {

namespace {

// Kerberos needs two legs; more means the exchange went round in circles.
constexpr int kMaxLegs = 4;

}  // namespace

std::u16string servicePrincipal() {
  return javaText(environmentVariable("WINTESTS_SERVICE_PRINCIPAL"));
}

jint Sspi::create(jboolean isClient, const char16_t *package, const std::u16string &target, jint flags) {
  const auto native = test_.require(test_.natives().SSPI_CreateContext, "SSPI.CreateContext");
  const jint handle =
      native(test_.env(), nullptr, isClient, flags, package ? test_.jvm.newString(package) : nullptr,
             target.empty() ? nullptr : test_.jvm.newString(target));
  test_.expectCleanReturn();
  return handle;
}

bool Sspi::initialize(jint handle, const std::vector<uint8_t> &token) {
  const auto native = test_.require(test_.natives().SSPI_Initialize, "SSPI.Initialize");
  const jboolean done = native(test_.env(), nullptr, handle, test_.jvm.newByteArray(token));
  test_.expectCleanReturn();
  return done == JNI_TRUE;
}

bool Sspi::accept(jint handle, const std::vector<uint8_t> &token) {
  const auto native = test_.require(test_.natives().SSPI_Accept, "SSPI.Accept");
  const jboolean done = native(test_.env(), nullptr, handle, test_.jvm.newByteArray(token));
  test_.expectCleanReturn();
  return done == JNI_TRUE;
}

std::vector<uint8_t> Sspi::challengeToken(jint handle) {
  const auto native = test_.require(test_.natives().SSPI_GetChallengeToken, "SSPI.GetChallengeToken");
  return bytesOrNothing(native(test_.env(), nullptr, handle));
}

jint Sspi::maxTokenSize(jint handle) {
  const auto native = test_.require(test_.natives().SSPI_GetMaxTokenSize, "SSPI.GetMaxTokenSize");
  const jint size = native(test_.env(), nullptr, handle);
  test_.expectCleanReturn();
  return size;
}

jint Sspi::negotiatedAttributes(jint handle) {
  const auto native =
      test_.require(test_.natives().SSPI_GetNegotiatedAttributes, "SSPI.GetNegotiatedAttributes");
  const jint attributes = native(test_.env(), nullptr, handle);
  test_.expectCleanReturn();
  return attributes;
}

std::vector<uint8_t> Sspi::wrap(jint handle, const std::vector<uint8_t> &message) {
  const auto native = test_.require(test_.natives().SSPI_Wrap, "SSPI.Wrap");
  return bytesOrNothing(native(test_.env(), nullptr, handle, test_.jvm.newByteArray(message)));
}

std::vector<uint8_t> Sspi::unwrap(jint handle, const std::vector<uint8_t> &message) {
  const auto native = test_.require(test_.natives().SSPI_Unwrap, "SSPI.Unwrap");
  return bytesOrNothing(native(test_.env(), nullptr, handle, test_.jvm.newByteArray(message)));
}

void Sspi::freeHandle(jint handle) {
  const auto native = test_.require(test_.natives().SSPI_FreeHandle, "SSPI.FreeHandle");
  native(test_.env(), nullptr, handle);
  test_.expectNoException();
  test_.expectCleanReturn();
}

// A null result comes with the exception the case checks; the bytes of a
// result are what the case compares.
std::vector<uint8_t> Sspi::bytesOrNothing(jbyteArray array) {
  test_.expectCleanReturn();
  return array == nullptr ? std::vector<uint8_t>() : test_.jvm.bytes(array);
}

Peers::Peers(Case &test, const char16_t *clientPackage, const char16_t *serverPackage)
    : test_(test), sspi_(test) {
  const jnihost::Natives &natives = test.natives();
  test.require(natives.SSPI_FreeHandle, "SSPI.FreeHandle");
  test.require(natives.SSPI_Initialize, "SSPI.Initialize");
  test.require(natives.SSPI_Accept, "SSPI.Accept");
  test.require(natives.SSPI_GetChallengeToken, "SSPI.GetChallengeToken");
  server_ = sspi_.create(kServer, serverPackage);
  test.expectNoException();
  client_ = sspi_.create(kClient, clientPackage, servicePrincipal());
  test.expectNoException();
}

Peers::~Peers() {
  sspi_.freeHandle(client_);
  sspi_.freeHandle(server_);
}

bool Peers::establish() {
  bool clientDone = false;
  bool serverDone = false;
  std::vector<uint8_t> token = sspi_.challengeToken(client_);
  for (int leg = 0; leg < kMaxLegs && !(clientDone && serverDone) && !test_.jvm.pendingException(); ++leg) {
    if (!serverDone) {
      serverDone = sspi_.accept(server_, token);
      token = sspi_.challengeToken(server_);
    }
    if (!clientDone && !token.empty() && !test_.jvm.pendingException()) {
      clientDone = sspi_.initialize(client_, token);
      token = sspi_.challengeToken(client_);
    }
  }
  test_.expectNoException();
  test_.expect(serverDone, "the server context did not complete");
  test_.expect(clientDone, "the client context did not complete");
  return clientDone && serverDone;
}

}  // namespace wintests
