#include "package_pair.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace ntseclink_bench {

namespace {

// Larger than any token of the simulated packages.
constexpr ULONG kTokenRoom = 64 * 1024;
// What the library's server asks of every client.
constexpr ULONG kServerRequirements =
    ASC_REQ_MUTUAL_AUTH | ASC_REQ_REPLAY_DETECT | ASC_REQ_SEQUENCE_DETECT | ASC_REQ_CONFIDENTIALITY;

// An input descriptor over a received token, and one output token buffer.
struct StepBuffers {
  explicit StepBuffers(const std::vector<BYTE> &input)
      : received(input),
        output(kTokenRoom),
        inputBuffer{static_cast<ULONG>(received.size()), SECBUFFER_TOKEN, received.data()},
        outputBuffer{kTokenRoom, SECBUFFER_TOKEN, output.data()} {}

  SecBufferDesc *in() { return received.empty() ? nullptr : &inputDescriptor; }
  SecBufferDesc *out() { return &outputDescriptor; }
  std::vector<BYTE> written() const { return {output.begin(), output.begin() + outputBuffer.cbBuffer}; }

  std::vector<BYTE> received;
  std::vector<BYTE> output;
  SecBuffer inputBuffer;
  SecBuffer outputBuffer;
  SecBufferDesc inputDescriptor{SECBUFFER_VERSION, 1, &inputBuffer};
  SecBufferDesc outputDescriptor{SECBUFFER_VERSION, 1, &outputBuffer};
};

}  // namespace

void requireSuccess(SECURITY_STATUS status, const char *function) {
  if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
    char code[16];
    std::snprintf(code, sizeof code, "%08x", static_cast<unsigned>(status));
    throw std::runtime_error(std::string(function) + " failed with " + code);
  }
}

Credentials::Credentials(const std::u16string &package, ULONG use) {
  std::u16string name = package;
  TimeStamp expiry;
  requireSuccess(AcquireCredentialsHandleW(nullptr, name.data(), use, nullptr, nullptr, nullptr, nullptr,
                                           &handle_, &expiry),
                 "AcquireCredentialsHandleW");
}

Credentials::~Credentials() {
  FreeCredentialsHandle(&handle_);
}

SecurityContext::~SecurityContext() {
  if (started_) {
    DeleteSecurityContext(&handle_);
  }
}

PackagePair::PackagePair(const std::u16string &package, ULONG clientFlags, const std::u16string &target)
    : target_(target),
      clientFlags_(clientFlags),
      clientCredentials_(package, SECPKG_CRED_OUTBOUND),
      serverCredentials_(package, SECPKG_CRED_INBOUND) {
  // Each side answers the other's last token until one has nothing to send.
  Token token = initialize({});
  for (bool toServer = true; !token.empty(); toServer = !toServer) {
    token = toServer ? accept(token) : initialize(token);
  }
}

SecPkgContext_Sizes PackagePair::sizes() {
  SecPkgContext_Sizes sizes{};
  requireSuccess(QueryContextAttributesW(client(), SECPKG_ATTR_SIZES, &sizes), "QueryContextAttributesW");
  return sizes;
}

PackagePair::Token PackagePair::initialize(const Token &input) {
  StepBuffers buffers(input);
  ULONG attributes = 0;
  TimeStamp expiry;
  requireSuccess(InitializeSecurityContextW(clientCredentials_.get(), client_.existing(),
                                            target_.empty() ? nullptr : target_.data(), clientFlags_, 0,
                                            SECURITY_NATIVE_DREP, buffers.in(), 0, client_.get(),
                                            buffers.out(), &attributes, &expiry),
                 "InitializeSecurityContextW");
  client_.started();
  return buffers.written();
}

PackagePair::Token PackagePair::accept(const Token &input) {
  StepBuffers buffers(input);
  ULONG attributes = 0;
  TimeStamp expiry;
  requireSuccess(
      AcceptSecurityContext(serverCredentials_.get(), server_.existing(), buffers.in(), kServerRequirements,
                            SECURITY_NATIVE_DREP, server_.get(), buffers.out(), &attributes, &expiry),
      "AcceptSecurityContext");
  server_.started();
  return buffers.written();
}

}  // namespace ntseclink_bench
