// Reading and writing values under HKEY_LOCAL_MACHINE.
#include <array>
#include <climits>
#include <memory>
#include <new>
#include <optional>

#include "bridge/jni_bridge.h"
#include "winutil/registry_access.h"

namespace ntseclink {

namespace {

// The key and the value a registry native names.
struct ValueLocation {
  WideString subKey;
  WideString valueName;
};

// None for a null or empty key, either of which would name the hive itself,
// and when either name holds U+0000, which the registry would read only up to
// there, so that it would name another key or value. A null value name is the
// key's default value.
std::optional<ValueLocation> valueLocation(JNIEnv *env, jstring subKey, jstring valueName) {
  if (subKey == nullptr) {
    return std::nullopt;
  }
  ValueLocation location{toWholeWideString(env, subKey), toWholeWideString(env, valueName)};
  if (location.subKey.empty() || holdsNullCharacter(location.subKey) ||
      holdsNullCharacter(location.valueName)) {
    return std::nullopt;
  }
  return location;
}

// Opens subKey in the view asked for; a key missing from the 64-bit view is
// looked for once more in the process's own view. Any other failure (access
// refused, say) is the answer: the other view holds another key. The status
// of the last open.
LSTATUS openInView(RegistryKey &key, const WideString &subKey, bool use64BitView,
                   REGSAM (*accessMask)(bool)) {
  LSTATUS status = openLocalMachineKey(key, subKey.c_str(), accessMask(use64BitView));
  if (status == ERROR_FILE_NOT_FOUND && use64BitView) {
    status = openLocalMachineKey(key, subKey.c_str(), accessMask(false));
  }
  return status;
}

jstring readStringValue(JNIEnv *env, const ValueLocation &location, bool use64BitView) {
  RegistryKey key;
  if (openInView(key, location.subKey, use64BitView, readAccessMask) != ERROR_SUCCESS) {
    return nullptr;
  }
  const WCHAR *valueName = location.valueName.c_str();
  DWORD size = 0;
  RegQueryValueExW(key.get(), valueName, nullptr, nullptr, nullptr, &size);
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
  if (RegQueryValueExW(key.get(), valueName, nullptr, nullptr, reinterpret_cast<BYTE *>(buffer.get()),
                       &offered) != ERROR_SUCCESS) {
    return nullptr;
  }
  return bufferToJavaString(env, buffer.get(), units);
}

// A key that cannot be opened gives the open's status, so that a caller can
// tell that nothing was written.
jint writeValue(const ValueLocation &location, bool use64BitView, DWORD type, const BYTE *data, DWORD size) {
  RegistryKey key;
  LSTATUS status = openInView(key, location.subKey, use64BitView, writeAccessMask);
  if (status != ERROR_SUCCESS) {
    return status;
  }
  return RegSetValueExW(key.get(), location.valueName.c_str(), 0, type, data, size);
}

// Every unit, then the terminator, which Windows wants counted: readers
// elsewhere may rely on it. An empty string is one zero unit.
jint writeStringValue(const ValueLocation &location, const WideString &value, bool use64BitView) {
  return writeValue(location, use64BitView, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                    static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
}

jint writeIntValue(const ValueLocation &location, jint value, bool use64BitView) {
  auto number = static_cast<DWORD>(value);
  std::array<BYTE, 4> littleEndian{};
  for (size_t i = 0; i < littleEndian.size(); ++i) {
    littleEndian[i] = static_cast<BYTE>(number >> (CHAR_BIT * i));
  }
  return writeValue(location, use64BitView, REG_DWORD, littleEndian.data(),
                    static_cast<DWORD>(littleEndian.size()));
}

}  // namespace

}  // namespace ntseclink

// A value the registry cannot be given reads as null, and a write to it is an
// invalid parameter, with nothing written.
extern "C" JNIEXPORT jstring JNICALL Java_com_corvane_zel_ntseclink_WinUtil_GetHKLMStringRegValue(
    JNIEnv *env, jclass, jstring subKey, jstring valueName, jboolean use64BitView) {
  return ntseclink::runNative<jstring>(env, nullptr, [&]() -> jstring {
    std::optional<ntseclink::ValueLocation> location = ntseclink::valueLocation(env, subKey, valueName);
    return location ? ntseclink::readStringValue(env, *location, use64BitView != JNI_FALSE) : nullptr;
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_corvane_zel_ntseclink_WinUtil_SetHKLMStringRegValue(
    JNIEnv *env, jclass, jstring subKey, jstring valueName, jstring value, jboolean use64BitView) {
  return ntseclink::runNative<jint>(env, 0, [&]() -> jint {
    std::optional<ntseclink::ValueLocation> location = ntseclink::valueLocation(env, subKey, valueName);
    if (!location) {
      return ERROR_INVALID_PARAMETER;
    }
    return ntseclink::writeStringValue(*location, ntseclink::toWholeWideString(env, value),
                                       use64BitView != JNI_FALSE);
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_corvane_zel_ntseclink_WinUtil_SetHKLMIntRegValue(
    JNIEnv *env, jclass, jstring subKey, jstring valueName, jint value, jboolean use64BitView) {
  return ntseclink::runNative<jint>(env, 0, [&]() -> jint {
    std::optional<ntseclink::ValueLocation> location = ntseclink::valueLocation(env, subKey, valueName);
    if (!location) {
      return ERROR_INVALID_PARAMETER;
    }
    return ntseclink::writeIntValue(*location, value, use64BitView != JNI_FALSE);
  });
}
