// Java byte arrays: inputs are read without copy-back, results are made at
// their final length.
#include <cstring>

#include "bridge/jni_bridge.h"

namespace ntseclink {

InputBytes::InputBytes(JNIEnv *env, jbyteArray array) : env_(env), array_(array) {
  length_ = static_cast<ULONG>(env->GetArrayLength(array));
  bytes_ = env->GetByteArrayElements(array, nullptr);
}

InputBytes::~InputBytes() {
  if (bytes_ != nullptr) {
    env_->ReleaseByteArrayElements(array_, bytes_, JNI_ABORT);
  }
}

jbyteArray toJavaByteArray(JNIEnv *env, std::initializer_list<ByteSpan> pieces) {
  size_t length = 0;
  for (const ByteSpan &piece : pieces) {
    length += piece.length;
  }
  jbyteArray array = env->NewByteArray(static_cast<jsize>(length));
  if (array == nullptr || length == 0) {
    return array;
  }
  jbyte *elements = env->GetByteArrayElements(array, nullptr);
  if (elements == nullptr) {
    return nullptr;
  }
  size_t offset = 0;
  for (const ByteSpan &piece : pieces) {
    if (piece.length != 0) {
      std::memcpy(elements + offset, piece.data, piece.length);
      offset += piece.length;
    }
  }
  env->ReleaseByteArrayElements(array, elements, 0);
  return array;
}

}  // namespace ntseclink
