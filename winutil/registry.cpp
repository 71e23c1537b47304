// Reading and writing values under HKEY_LOCAL_MACHINE.
#include <array>
#include <memory>
#include <new>

#include "bridge/jni_bridge.h"
#include "winutil/registry_access.h"

namespace ntseclink {

namespace {

// Opens subKey in the view asked for; a key missing from the 64-bit view is
// looked for once more in the process's own view. The status of the last open.
LSTATUS openInView(RegistryKey &key, const WideString &subKey, bool use64BitView,
                   REGSAM (*accessMask)(bool)) {
  LSTATUS status = key.open(subKey.c_str(), accessMask(use64BitView));
  if (status != ERROR_SUCCESS && use64BitView) {
    status = key.open(subKey.c_str(), accessMask(false));
  }
  return status;
}

jstring readStringValue(JNIEnv *env, const WideString &subKey, const WideString &valueName,
                        bool use64BitView) {
  RegistryKey key;
  if (openInView(key, subKey, use64BitView, readAccessMask) != ERROR_SUCCESS) {
    return nullptr;
  }
  DWORD size = 0;
  RegQueryValueExW(key.get(), valueName.c_str(), nullptr, nullptr, nullptr, &size);
  if (size == 0) {
    return nullptr;
  }
  // Zero-filled with at least one whole unit beyond the data, which ends text
  // stored without a terminator, also when its byte count is odd.
  size_t units = (size_t{size} + 1) / 2 + 1;
  std::unique_ptr<WCHAR[]> buffer(new (std::nothrow) WCHAR[units]());
  if (buffer == nullptr) {
    return nullptr;
  }
  // A value changed since its size was asked leaves the buffer undefined.
  DWORD offered = size;
  if (RegQueryValueExW(key.get(), valueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE *>(buffer.get()),
                       &offered) != ERROR_SUCCESS) {
    return nullptr;
  }
  return bufferToJavaString(env, buffer.get(), units);
}

// A key that cannot be opened gives the open's status, so that a caller can
// tell that nothing was written.
jint writeValue(const WideString &subKey, const WideString &valueName, bool use64BitView, DWORD type,
                const BYTE *data, DWORD size) {
  RegistryKey key;
  LSTATUS status = openInView(key, subKey, use64BitView, writeAccessMask);
  if (status != ERROR_SUCCESS) {
    return status;
  }
  return RegSetValueExW(key.get(), valueName.c_str(), 0, type, data, size);
}

// Stored as written: every unit, no terminator added.
jint writeStringValue(const WideString &subKey, const WideString &valueName, const WideString &value,
                      bool use64BitView) {
  return writeValue(subKey, valueName, use64BitView, REG_SZ, reinterpret_cast<const BYTE *>(value.data()),
                    static_cast<DWORD>(value.size() * sizeof(WCHAR)));
}

jint writeIntValue(const WideString &subKey, const WideString &valueName, jint value, bool use64BitView) {
  auto number = static_cast<DWORD>(value);
  std::array<BYTE, 4> littleEndian{};
  for (size_t i = 0; i < littleEndian.size(); ++i) {
    littleEndian[i] = static_cast<BYTE>(number >> (8 * i));
  }
  return writeValue(subKey, valueName, use64BitView, REG_DWORD, littleEndian.data(),
                    static_cast<DWORD>(littleEndian.size()));
}

}  // namespace

}  // namespace ntseclink

extern "C" JNIEXPORT jstring JNICALL Java_com_corvane_zel_ntseclink_WinUtil_GetHKLMStringRegValue(
    JNIEnv *env, jclass, jstring subKey, jstring valueName, jboolean use64BitView) {
  return ntseclink::runNative<jstring>(env, nullptr, [&] {
    return ntseclink::readStringValue(env, ntseclink::toWideString(env, subKey),
                                      ntseclink::toWideString(env, valueName), use64BitView != JNI_FALSE);
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_corvane_zel_ntseclink_WinUtil_SetHKLMStringRegValue(
    JNIEnv *env, jclass, jstring subKey, jstring valueName, jstring value, jboolean use64BitView) {
  return ntseclink::runNative<jint>(env, 0, [&] {
    return ntseclink::writeStringValue(ntseclink::toWideString(env, subKey),
                                       ntseclink::toWideString(env, valueName),
                                       ntseclink::toWholeWideString(env, value), use64BitView != JNI_FALSE);
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_corvane_zel_ntseclink_WinUtil_SetHKLMIntRegValue(
    JNIEnv *env, jclass, jstring subKey, jstring valueName, jint value, jboolean use64BitView) {
  return ntseclink::runNative<jint>(env, 0, [&] {
    return ntseclink::writeIntValue(ntseclink::toWideString(env, subKey),
                                    ntseclink::toWideString(env, valueName), value,
                                    use64BitView != JNI_FALSE);
  });
}
