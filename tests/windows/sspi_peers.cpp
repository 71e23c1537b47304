#include "sspi_peers.h"

namespace wintests {

namespace {

// Kerberos needs two legs and NTLM three; more means the exchange went round
// in circles.
constexpr int kMaxLegs = 4;

std::string sizesText(const std::vector<std::size_t> &sizes) {
  std::string text;
  for (const std::size_t size : sizes) {
    text += (text.empty() ? "" : " + ") + std::to_string(size);
  }
  return text.empty() ? "none" : text;
}

}  // namespace

std::u16string servicePrincipal() {
  return javaText(environmentVariable("WINTESTS_SERVICE_PRINCIPAL"));
}

std::u16string wineContextReport(const char16_t *role, const char16_t *state,
                                 const char16_t *attributeWords) {
  return std::u16string(u"Type: ") + role + u"\nState: " + state +
         u"\nImpersonating: false\nUser name: (unknown)\nSSP package: (unknown)\nContext attributes: " +
         attributeWords;
}

jint Sspi::create(jboolean isClient, const char16_t *package, const std::u16string &target, jint flags) {
  const auto native = test_.natives().SSPI_CreateContext;
  const jint handle =
      native(test_.env(), nullptr, isClient, flags, package ? test_.jvm.newString(package) : nullptr,
             target.empty() ? nullptr : test_.jvm.newString(target));
  test_.expectCleanReturn();
  return handle;
}

bool Sspi::initialize(jint handle, const std::vector<uint8_t> &token) {
  const auto native = test_.natives().SSPI_Initialize;
  const jboolean done = native(test_.env(), nullptr, handle, test_.jvm.newByteArray(token));
  test_.expectCleanReturn();
  return done == JNI_TRUE;
}

bool Sspi::accept(jint handle, const std::vector<uint8_t> &token) {
  const auto native = test_.natives().SSPI_Accept;
  const jboolean done = native(test_.env(), nullptr, handle, test_.jvm.newByteArray(token));
  test_.expectCleanReturn();
  return done == JNI_TRUE;
}

std::vector<uint8_t> Sspi::challengeToken(jint handle) {
  const auto native = test_.natives().SSPI_GetChallengeToken;
  return bytesOrNothing(native(test_.env(), nullptr, handle));
}

jint Sspi::maxTokenSize(jint handle) {
  const auto native = test_.natives().SSPI_GetMaxTokenSize;
  const jint size = native(test_.env(), nullptr, handle);
  test_.expectCleanReturn();
  return size;
}

jint Sspi::negotiatedAttributes(jint handle) {
  const auto native = test_.natives().SSPI_GetNegotiatedAttributes;
  const jint attributes = native(test_.env(), nullptr, handle);
  test_.expectCleanReturn();
  return attributes;
}

std::u16string Sspi::contextInformation(jint handle) {
  const auto native = test_.natives().SSPI_GetContextInformation;
  const jstring report = native(test_.env(), nullptr, handle);
  test_.expectCleanReturn();
  return report == nullptr ? std::u16string() : test_.jvm.stringValue(report);
}

std::vector<uint8_t> Sspi::wrap(jint handle, const std::vector<uint8_t> &message) {
  const auto native = test_.natives().SSPI_Wrap;
  return bytesOrNothing(native(test_.env(), nullptr, handle, test_.jvm.newByteArray(message)));
}

std::vector<uint8_t> Sspi::unwrap(jint handle, const std::vector<uint8_t> &message) {
  const auto native = test_.natives().SSPI_Unwrap;
  return bytesOrNothing(native(test_.env(), nullptr, handle, test_.jvm.newByteArray(message)));
}

void Sspi::freeHandle(jint handle) {
  const auto native = test_.natives().SSPI_FreeHandle;
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

DllContext::DllContext(Case &test, jboolean role, const char16_t *package, const std::u16string &target,
                       jint flags)
    : test_(test), sspi_(test), role_(role) {
  handle_ = sspi_.create(role, package, target, flags);
  test.expectNoException();
}

DllContext::~DllContext() {
  sspi_.freeHandle(handle_);
}

bool DllContext::take(const std::vector<uint8_t> &token) {
  return role_ == kClient ? sspi_.initialize(handle_, token) : sspi_.accept(handle_, token);
}

std::string HandshakeTokens::describe() const {
  return "token sizes: client " + sizesText(client) + ", server " + sizesText(server);
}

bool handshake(Case &test, HandshakeSide &client, HandshakeSide &server, HandshakeTokens *tokens) {
  HandshakeTokens sent;
  std::vector<uint8_t> token = client.token();
  sent.client.push_back(token.size());
  // Hands the token to one side and takes its answer; false when a step failed.
  const auto pass = [&token](HandshakeSide &side, std::vector<std::size_t> &answers, bool &done) {
    done = side.take(token);
    if (side.failed()) {
      return false;
    }
    token = side.token();
    if (!token.empty()) {
      answers.push_back(token.size());
    }
    return !side.failed();
  };
  bool clientDone = false;
  bool serverDone = false;
  bool going = !client.failed();
  for (int leg = 0; going && leg < kMaxLegs && !(clientDone && serverDone); ++leg) {
    if (!serverDone) {
      going = pass(server, sent.server, serverDone);
    }
    if (going && !clientDone && !token.empty()) {
      going = pass(client, sent.client, clientDone);
    }
  }
  test.expectNoException();
  test.expect(serverDone, "the server context did not complete");
  test.expect(clientDone, "the client context did not complete");
  if (tokens != nullptr) {
    *tokens = sent;
  }
  return clientDone && serverDone;
}

void expectRefusedStep(Case &test, DllContext &context, const std::vector<uint8_t> &token,
                       const char *status) {
  Sspi sspi(test);
  test.expect(!context.take(token), "the refused step completed the context");
  test.expectException(jnihost::kWinAuthException, status);
  const std::u16string inError =
      std::u16string(u"Type: ") + (context.role() == kClient ? u"client" : u"server") + u"\nState: error\n";
  test.expect(sspi.contextInformation(context.handle()).rfind(inError, 0) == 0,
              "the refused context is not in error");
  test.expect(!context.take(token), "the refused context took another step");
  test.expectException(jnihost::kWinAuthException, "Invalid state");
  test.expectEqual(sspi.maxTokenSize(context.handle()), 0, "max token size of the refused context");
  test.expectException(jnihost::kWinAuthException, "Invalid state");
}

void expectReleased(Case &test, jint handle) {
  Sspi(test).challengeToken(handle);
  test.expectException(jnihost::kWinAuthException, "Invalid handle");
}

Peers::Peers(Case &test, const char16_t *clientPackage, const char16_t *serverPackage)
    : test_(test),
      server_(test, kServer, serverPackage),
      client_(test, kClient, clientPackage, servicePrincipal()) {}

}  // namespace wintests
