// The token exchange between the peers of a handshake.
#include "sspi/context_checks.h"
#include "sspi/handshake.h"

namespace ntseclink {

namespace {

// What a server accepts from a client, whatever the client asked for.
constexpr ULONG kServerContextRequirements =
    ASC_REQ_MUTUAL_AUTH | ASC_REQ_REPLAY_DETECT | ASC_REQ_SEQUENCE_DETECT | ASC_REQ_CONFIDENTIALITY;

// One received token, handed to the package where the VM exposes it.
class HandshakeInput {
 public:
  HandshakeInput(JNIEnv *env, jbyteArray token)
      : bytes_(env, token), descriptor_(bytes_.data(), bytes_.length()) {}

  // False when the VM could not expose the bytes (it has an error pending).
  bool available() const { return bytes_.available(); }
  SecBufferDesc *descriptor() { return descriptor_.get(); }

 private:
  InputBytes bytes_;
  TokenDescriptor descriptor_;
};

// The status of a step that ran, or none when the token was not available.
struct StepResult {
  bool ran = false;
  SECURITY_STATUS status = SEC_E_OK;
};

StepResult runClientStep(JNIEnv *env, SspiContextEntry &entry, jbyteArray token, HandshakeOutput &output) {
  HandshakeInput input(env, token);
  if (!input.available()) {
    return {};
  }
  TimeStamp expiry;
  SECURITY_STATUS status = InitializeSecurityContextW(
      entry.credentials.address(), entry.context.address(), targetOrNull(entry.targetName),
      entry.requestedFlags, 0, SECURITY_NATIVE_DREP, input.descriptor(), 0, entry.context.address(),
      output.descriptor(), &entry.contextAttributes, &expiry);
  return {true, completeTokenIfNeeded(entry, status, output)};
}

StepResult runServerStep(JNIEnv *env, SspiContextEntry &entry, CtxtHandle *existing, jbyteArray token,
                         HandshakeOutput &output) {
  HandshakeInput input(env, token);
  if (!input.available()) {
    return {};
  }
  TimeStamp expiry;
  SECURITY_STATUS status = AcceptSecurityContext(
      entry.credentials.address(), existing, input.descriptor(), kServerContextRequirements,
      SECURITY_NATIVE_DREP, entry.context.address(), output.descriptor(), &entry.contextAttributes, &expiry);
  return {true, completeTokenIfNeeded(entry, status, output)};
}

// Moves the entry on by its step, whole or not at all. The package's context
// has moved on already and cannot be moved back, so the entry counts as
// failed until the step is committed: a failed step, size query or
// allocation leaves it in Error. The token of a successful step becomes the
// one to send to the peer.
bool finishStep(JNIEnv *env, SspiContextEntry &entry, SECURITY_STATUS status, const HandshakeOutput &output) {
  entry.state = SspiContextState::Error;
  PreparedStep step;
  if (!prepareStep(env, entry.context.address(), status, output, step)) {
    return false;
  }
  commitStep(entry, step);
  return entry.state == SspiContextState::Success;
}

bool initialize(JNIEnv *env, ContextHandle handle, jbyteArray token) {
  ContextInUse used = useContext(handle);
  SspiContextEntry *entry = findContextOrThrow(env, used);
  if (entry == nullptr || !hasRoleOrThrow(env, *entry, ContextRole::Client) ||
      !isInStateOrThrow(env, *entry, SspiContextState::Negotiating)) {
    return false;
  }
  HandshakeOutput output;
  StepResult step = runClientStep(env, *entry, token, output);
  return step.ran && finishStep(env, *entry, step.status, output);
}

bool accept(JNIEnv *env, ContextHandle handle, jbyteArray token) {
  ContextInUse used = useContext(handle);
  SspiContextEntry *entry = findContextOrThrow(env, used);
  if (entry == nullptr || !hasRoleOrThrow(env, *entry, ContextRole::Server)) {
    return false;
  }
  if (entry->state != SspiContextState::Initial && entry->state != SspiContextState::Negotiating) {
    throwWinAuthException(env, "Invalid state");
    return false;
  }
  // The first step makes the context; later ones continue it.
  CtxtHandle *existing = entry->state == SspiContextState::Negotiating ? entry->context.address() : nullptr;
  HandshakeOutput output;
  StepResult step = runServerStep(env, *entry, existing, token, output);
  return step.ran && finishStep(env, *entry, step.status, output);
}

jbyteArray challengeToken(JNIEnv *env, ContextHandle handle) {
  ContextInUse used = useContext(handle);
  SspiContextEntry *entry = findContextOrThrow(env, used);
  if (entry == nullptr) {
    return nullptr;
  }
  return toJavaByteArray(env, entry->outputToken.data(), entry->outputToken.size());
}

// A value of an established context, of either role; 0 after a failed check.
template <typename Read>
jint establishedValue(JNIEnv *env, ContextHandle handle, Read read) {
  ContextInUse used = useContext(handle);
  SspiContextEntry *entry = establishedContext(env, used);
  return entry == nullptr ? 0 : static_cast<jint>(read(*entry));
}

}  // namespace

}  // namespace ntseclink

using ntseclink::runNative;

extern "C" JNIEXPORT jboolean JNICALL Java_com_corvane_zel_ntseclink_SSPI_Initialize(JNIEnv *env, jclass,
                                                                                     jint handle,
                                                                                     jbyteArray token) {
  return runNative<jboolean>(env, JNI_FALSE, [&]() -> jboolean {
    if (token == nullptr) {
      ntseclink::throwWinAuthException(env, "Token cannot be null");
      return JNI_FALSE;
    }
    return ntseclink::initialize(env, handle, token) ? JNI_TRUE : JNI_FALSE;
  });
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_corvane_zel_ntseclink_SSPI_Accept(JNIEnv *env, jclass,
                                                                                 jint handle,
                                                                                 jbyteArray token) {
  return runNative<jboolean>(env, JNI_FALSE, [&]() -> jboolean {
    if (token == nullptr || env->GetArrayLength(token) == 0) {
      ntseclink::throwWinAuthException(env, "Token cannot be null");
      return JNI_FALSE;
    }
    return ntseclink::accept(env, handle, token) ? JNI_TRUE : JNI_FALSE;
  });
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_corvane_zel_ntseclink_SSPI_GetChallengeToken(JNIEnv *env,
                                                                                              jclass,
                                                                                              jint handle) {
  return runNative<jbyteArray>(env, nullptr, [&] { return ntseclink::challengeToken(env, handle); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_corvane_zel_ntseclink_SSPI_GetMaxTokenSize(JNIEnv *env, jclass,
                                                                                      jint handle) {
  return runNative<jint>(env, 0, [&] {
    return ntseclink::establishedValue(
        env, handle, [](const ntseclink::SspiContextEntry &entry) { return entry.sizes.cbMaxToken; });
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_corvane_zel_ntseclink_SSPI_GetNegotiatedAttributes(JNIEnv *env,
                                                                                              jclass,
                                                                                              jint handle) {
  return runNative<jint>(env, 0, [&] {
    return ntseclink::establishedValue(
        env, handle, [](const ntseclink::SspiContextEntry &entry) { return entry.contextAttributes; });
  });
}
