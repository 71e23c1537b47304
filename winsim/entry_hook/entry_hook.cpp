// Runs the library's entry routine on Linux the way the Windows loader would:
// process attach after the library's static objects are built, process detach
// before they are destroyed, whether the library is unloaded with dlclose or
// the process exits. This unit must be linked after the library's own objects
// so that its constructor runs after theirs.
//
// Loaded by a JVM, it also lets the program choose whom the simulated
// machine's client contexts sign on as (the system property
// ntseclink.simulated.client), so that a service in the same process can see
// another user than itself. The library's own sources know nothing of it.
#include <windows.h>
#include <jni.h>
#include <dlfcn.h>
#include <winsim/control.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern "C" int __cxa_atexit(void (*function)(void *), void *argument, void *dso);
extern "C" void *__dso_handle;

namespace {

constexpr const char *kClientProperty = "ntseclink.simulated.client";

int moduleTag;  // its address stands for the module handle

HINSTANCE thisModule() {
  return reinterpret_cast<HINSTANCE>(&moduleTag);
}

void detachProcess(void *) {
  DllMain(thisModule(), DLL_PROCESS_DETACH, nullptr);
}

// The loading thread's JNI environment when a JVM loads the library; none in
// the C++ tests' host, which exports no JNI_GetCreatedJavaVMs.
JNIEnv *loadingJavaThread() {
  using GetCreatedJavaVms = jint(JNICALL *)(JavaVM **, jsize, jsize *);
  auto getCreated = reinterpret_cast<GetCreatedJavaVms>(dlsym(RTLD_DEFAULT, "JNI_GetCreatedJavaVMs"));
  JavaVM *vm = nullptr;
  jsize count = 0;
  if (getCreated == nullptr || getCreated(&vm, 1, &count) != JNI_OK || count == 0) {
    return nullptr;
  }
  void *env = nullptr;
  if (vm->GetEnv(&env, JNI_VERSION_1_8) != JNI_OK) {
    return nullptr;
  }
  auto *java = static_cast<JNIEnv *>(env);
  return java->ExceptionCheck() ? nullptr : java;
}

struct PropertyValue {
  std::u16string text;
  std::string utf8;  // for messages
};

std::optional<PropertyValue> readValue(JNIEnv *env, jstring value) {
  const jchar *chars = env->GetStringChars(value, nullptr);
  const char *utf8 = chars == nullptr ? nullptr : env->GetStringUTFChars(value, nullptr);
  std::optional<PropertyValue> read;
  if (utf8 != nullptr) {
    read = PropertyValue{std::u16string(chars, chars + env->GetStringLength(value)), utf8};
    env->ReleaseStringUTFChars(value, utf8);
  }
  if (chars != nullptr) {
    env->ReleaseStringChars(value, chars);
  }
  return read;
}

// System.getProperty(name), or nothing when it is unset or cannot be read; it
// leaves no exception pending and no local reference behind.
std::optional<PropertyValue> systemProperty(JNIEnv *env, const char *name) {
  if (env->PushLocalFrame(4) != JNI_OK) {
    env->ExceptionClear();
    return std::nullopt;
  }
  std::optional<PropertyValue> value;
  jclass system = env->FindClass("java/lang/System");
  jmethodID getProperty =
      system == nullptr
          ? nullptr
          : env->GetStaticMethodID(system, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
  jstring key = getProperty == nullptr ? nullptr : env->NewStringUTF(name);
  jobject text = key == nullptr ? nullptr : env->CallStaticObjectMethod(system, getProperty, key);
  if (!env->ExceptionCheck() && text != nullptr) {
    value = readValue(env, static_cast<jstring>(text));
  }
  env->ExceptionClear();
  env->PopLocalFrame(nullptr);
  return value;
}

std::string listedForMessage(const std::vector<std::u16string> &names) {
  std::string list;
  for (const auto &name : names) {
    list += list.empty() ? "" : ", ";
    for (char16_t c : name) {
      list += c < 0x80 ? static_cast<char>(c) : '?';
    }
  }
  return list;
}

void chooseClientUser() {
  JNIEnv *env = loadingJavaThread();
  auto client = env == nullptr ? std::nullopt : systemProperty(env, kClientProperty);
  if (client && !winsim::setClientUser(client->text)) {
    std::fprintf(stderr,
                 "ntseclink: -D%s=%s names no user of the simulated machine (its users: %s); its client "
                 "contexts sign on as the process user\n",
                 kClientProperty, client->utf8.c_str(), listedForMessage(winsim::userNames()).c_str());
  }
}

__attribute__((constructor)) void attachProcess() {
  chooseClientUser();
  DllMain(thisModule(), DLL_PROCESS_ATTACH, nullptr);
  // Registered after the static objects' destructors, so it runs before them.
  __cxa_atexit(detachProcess, nullptr, &__dso_handle);
}

}  // namespace
