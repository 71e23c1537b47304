// Sealing and unsealing messages with an established context. The protected
// form is the package's token, the transformed message and its padding,
// back to back, which the peer's package reads as one stream.
#include <limits>

#include "sspi/context_checks.h"

namespace ntseclink {

namespace {

// A private copy of a Java array, which the package transforms in place.
ByteBuffer copyOfArray(JNIEnv *env, jbyteArray array) {
  InputBytes bytes(env, array);
  if (!bytes.available()) {
    throw std::bad_alloc();  // the VM has OutOfMemoryError pending
  }
  return ByteBuffer(bytes.data(), bytes.data() + bytes.length());
}

SecBuffer bufferOver(ULONG type, ByteBuffer &storage) {
  return SecBuffer{static_cast<ULONG>(storage.size()), type, storage.empty() ? nullptr : storage.data()};
}

// The part of a buffer's storage the package says it filled.
ByteSpan writtenPart(const SecBuffer &buffer, const ByteBuffer &storage) {
  return ByteSpan{storage.data(), buffer.cbBuffer < storage.size() ? buffer.cbBuffer : storage.size()};
}

ULONG qualityOfProtection(const SspiContextEntry &entry) {
  return (entry.contextAttributes & ISC_RET_CONFIDENTIALITY) != 0 ? 0 : SECQOP_WRAP_NO_ENCRYPT;
}

// Whether the longest protected form of a message of `length` bytes (the
// whole token space, the message and the whole padding space) fits in a Java
// array; checked before anything is copied, so that the length never wraps.
bool protectedFormFitsJavaArray(const SspiContextEntry &entry, size_t length) {
  constexpr size_t kLargestJavaArray = std::numeric_limits<jsize>::max();
  size_t spaces = entry.trailerBuffer.size() + entry.paddingBuffer.size();
  return spaces <= kLargestJavaArray && length <= kLargestJavaArray - spaces;
}

// The token and padding space of the entry serve as the package's output.
jbyteArray wrap(JNIEnv *env, SspiContextEntry &entry, jbyteArray message) {
  if (!protectedFormFitsJavaArray(entry, static_cast<size_t>(env->GetArrayLength(message)))) {
    throwJavaException(env, "java/lang/OutOfMemoryError", "Protected message larger than a Java array");
    return nullptr;
  }
  ByteBuffer data = copyOfArray(env, message);
  SecBuffer buffers[] = {bufferOver(SECBUFFER_TOKEN, entry.trailerBuffer), bufferOver(SECBUFFER_DATA, data),
                         bufferOver(SECBUFFER_PADDING, entry.paddingBuffer)};
  SecBufferDesc descriptor{SECBUFFER_VERSION, 3, buffers};
  SECURITY_STATUS status =
      EncryptMessage(entry.context.address(), qualityOfProtection(entry), &descriptor, 0);
  if (status != SEC_E_OK) {
    throwPlatformError(env, static_cast<DWORD>(status));
    return nullptr;
  }
  return toJavaByteArray(env, {writtenPart(buffers[0], entry.trailerBuffer), writtenPart(buffers[1], data),
                               writtenPart(buffers[2], entry.paddingBuffer)});
}

// Where the package says the plain text lies, if that is inside the stream.
bool insideStream(const SecBuffer &plain, const ByteBuffer &stream) {
  if (plain.cbBuffer == 0) {
    return true;
  }
  const BYTE *start = static_cast<const BYTE *>(plain.pvBuffer);
  const BYTE *first = stream.data();
  return start != nullptr && start >= first && plain.cbBuffer <= stream.size() &&
         static_cast<size_t>(start - first) <= stream.size() - plain.cbBuffer;
}

jbyteArray unwrap(JNIEnv *env, SspiContextEntry &entry, jbyteArray message) {
  ByteBuffer stream = copyOfArray(env, message);
  SecBuffer buffers[] = {bufferOver(SECBUFFER_STREAM, stream), SecBuffer{0, SECBUFFER_DATA, nullptr}};
  SecBufferDesc descriptor{SECBUFFER_VERSION, 2, buffers};
  SECURITY_STATUS status = DecryptMessage(entry.context.address(), &descriptor, 0, nullptr);
  if (status != SEC_E_OK) {
    throwPlatformError(env, static_cast<DWORD>(status));
    return nullptr;
  }
  if (!insideStream(buffers[1], stream)) {
    throwPlatformError(env, static_cast<DWORD>(SEC_E_INTERNAL_ERROR));
    return nullptr;
  }
  return toJavaByteArray(env, static_cast<const BYTE *>(buffers[1].pvBuffer), buffers[1].cbBuffer);
}

// Runs `transform` under the lock on an established context of either role;
// it works on a private copy of the message, which the package changes in
// place.
template <typename Transform>
jbyteArray protectionNative(JNIEnv *env, ContextHandle handle, jbyteArray message, Transform transform) {
  return runNative<jbyteArray>(env, nullptr, [&]() -> jbyteArray {
    if (message == nullptr) {
      throwWinAuthException(env, "Message cannot be null");
      return nullptr;
    }
    ContextInUse used = useContext(handle);
    SspiContextEntry *entry = establishedContext(env, used);
    if (entry == nullptr) {
      return nullptr;
    }
    return transform(env, *entry, message);
  });
}

}  // namespace

}  // namespace ntseclink

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_corvane_zel_ntseclink_SSPI_Wrap(JNIEnv *env, jclass,
                                                                                 jint handle,
                                                                                 jbyteArray message) {
  return ntseclink::protectionNative(env, handle, message, ntseclink::wrap);
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_corvane_zel_ntseclink_SSPI_Unwrap(JNIEnv *env, jclass,
                                                                                   jint handle,
                                                                                   jbyteArray message) {
  return ntseclink::protectionNative(env, handle, message, ntseclink::unwrap);
}
