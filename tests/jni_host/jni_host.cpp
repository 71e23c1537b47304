#include "jni_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <map>
#include <set>
#include <stdexcept>
#include <type_traits>
#include <variant>

#include "jni_slots.h"

namespace jnihost {
namespace {

struct JavaString {
  std::u16string text;
};
struct JavaByteArray {
  std::vector<uint8_t> content;
  std::vector<jint> releaseModes{};
  std::optional<jsize> unbackedLength{};
};
struct JavaClass {
  std::string path;
};
struct JavaThrowable {
  Exception exception;
};
struct JavaThread {
  bool isVirtual;
};

// A local reference and what it refers to. A deleted reference stays known,
// so that a later use of it is reported instead of being mistaken for an
// unknown one.
struct Object {
  std::variant<JavaString, JavaByteArray, JavaClass, JavaThrowable, JavaThread> value;
  bool deleted = false;
};

struct StringPin {
  jobject owner;
  std::vector<jchar> chars;
};

// Elements are handed out as a copy that reaches the array only on a release
// with copy-back, so that a library writing into an array it was given, or
// forgetting to copy back a result, is visible to the test.
struct ArrayPin {
  jobject owner;
  std::vector<jbyte> elements;  // the array's bytes, then the guard
};

constexpr std::size_t kGuardSize = 8;
constexpr jbyte kGuardByte = 0x5a;
// Follows the copied characters, so that code expecting a terminator reads
// past the copy (which sanitizers report) rather than finding one.
constexpr jchar kNotATerminator = 0xffff;

const std::set<std::string> &knownClasses() {
  static const std::set<std::string> classes{kWinAuthException,      kWinException,
                                             kUserNotFoundException, kGroupNotFoundException,
                                             kOutOfMemoryError,      kThreadClass};
  return classes;
}

// The one static method the host offers: Thread.currentThread().
constexpr const char *kCurrentThreadName = "currentThread";
constexpr const char *kCurrentThreadSignature = "()Ljava/lang/Thread;";
int currentThreadMethodTag;
jmethodID currentThreadMethod() {
  return reinterpret_cast<jmethodID>(&currentThreadMethodTag);
}

// The JDK's table, then the slot Java 21 added after GetModule, which the
// JDK 17 jni.h does not declare.
using IsVirtualThreadFunction = jboolean(JNICALL *)(JNIEnv *, jobject);
struct FunctionTable {
  JNINativeInterface_ jdk;
  IsVirtualThreadFunction IsVirtualThread;
};
static_assert(offsetof(FunctionTable, IsVirtualThread) ==
              offsetof(JNINativeInterface_, GetModule) + sizeof(JNINativeInterface_::GetModule));

std::optional<std::u16string> decodeModifiedUtf8(const char *text) {
  std::u16string decoded;
  const auto *bytes = reinterpret_cast<const unsigned char *>(text);
  auto continuation = [&bytes](uint32_t &unit) {
    if ((*bytes & 0xc0u) != 0x80u) {
      return false;
    }
    unit = (unit << 6) | (*bytes++ & 0x3fu);
    return true;
  };
  while (*bytes != 0) {
    const uint32_t lead = *bytes++;
    uint32_t unit = 0;
    bool valid = true;
    if (lead < 0x80u) {
      unit = lead;
    } else if ((lead & 0xe0u) == 0xc0u) {
      unit = lead & 0x1fu;
      valid = continuation(unit);
    } else if ((lead & 0xf0u) == 0xe0u) {
      unit = lead & 0x0fu;
      valid = continuation(unit) && continuation(unit);
    } else {
      valid = false;
    }
    if (!valid) {
      return std::nullopt;
    }
    decoded.push_back(static_cast<char16_t>(unit));
  }
  return decoded;
}

}  // namespace

struct Jvm::State {
  // JNIEnv first, so that the host finds its state from the env pointer the
  // natives pass back.
  struct Environment {
    JNIEnv env;
    State *state;
  };
  static_assert(std::is_standard_layout_v<Environment>);

  FunctionTable functions{};
  Environment environment{};
  jint version = kJniVersion21;
  bool virtualThread = false;
  std::map<const void *, std::unique_ptr<Object>> objects;
  std::map<const jchar *, StringPin> stringPins;
  std::map<const jbyte *, ArrayPin> arrayPins;
  std::optional<Exception> pending;
  std::set<std::string> failedLookups;
  int allocationsBeforeFailure = 0;
  int failingAllocations = 0;
  std::vector<std::string> violations;
  std::vector<std::string> calls;

  static State &of(JNIEnv *env) { return *reinterpret_cast<Environment *>(env)->state; }

  // Every implemented function starts here: the call is journalled, and any
  // function but the few the JVM allows then is checked for a pending
  // exception.
  static State &enter(JNIEnv *env, const char *function) {
    State &state = of(env);
    state.calls.emplace_back(function);
    if (state.pending) {
      state.violate(function, "JNI call made with exception pending (" + state.pending->className + ")");
    }
    return state;
  }
  static State &enterExceptionSafe(JNIEnv *env, const char *function) {
    State &state = of(env);
    state.calls.emplace_back(function);
    return state;
  }

  void violate(const char *function, const std::string &what) {
    violations.push_back(std::string(function) + ": " + what);
  }

  void raise(std::string className, std::string message) {
    pending = Exception{std::move(className), std::move(message)};
  }

  bool allocationFails() {
    if (allocationsBeforeFailure > 0) {
      --allocationsBeforeFailure;
      return false;
    }
    if (failingAllocations > 0) {
      --failingAllocations;
      raise(kOutOfMemoryError, "");
      return true;
    }
    return false;
  }

  template <typename Value>
  jobject add(Value value) {
    auto object = std::make_unique<Object>(Object{std::move(value)});
    Object *raw = object.get();
    objects.emplace(raw, std::move(object));
    return reinterpret_cast<jobject>(raw);
  }

  Object *lookup(jobject ref) const {
    const auto found = objects.find(ref);
    return found == objects.end() ? nullptr : found->second.get();
  }

  // The object behind a reference the natives passed, or null after
  // recording why the reference was not usable.
  template <typename Value>
  Value *use(const char *function, jobject ref) {
    Object *object = lookup(ref);
    if (ref == nullptr) {
      violate(function, "null reference");
    } else if (object == nullptr) {
      violate(function, "unknown reference");
    } else if (object->deleted) {
      violate(function, "deleted local reference");
    } else if (!std::holds_alternative<Value>(object->value)) {
      violate(function, "reference to an object of the wrong type");
    } else {
      return &std::get<Value>(object->value);
    }
    return nullptr;
  }

  // The same for the test's own reads, which must name a live value.
  template <typename Value>
  const Value &read(jobject ref) const {
    const Object *object = lookup(ref);
    if (object == nullptr || !std::holds_alternative<Value>(object->value)) {
      throw std::invalid_argument("jnihost: null or unknown reference");
    }
    return std::get<Value>(object->value);
  }
};

namespace {

using State = Jvm::State;

// ---- Traps for the functions the library must not call --------------------

void unexpectedFunction(JNIEnv *env, const char *slot) {
  State &state = State::of(env);
  state.calls.emplace_back(slot);
  state.violations.push_back(std::string("unexpected JNI function ") + slot);
}

template <typename Name>
struct Trap {
  template <typename Result, typename... Args>
  static Result JNICALL call(JNIEnv *env, Args...) {
    unexpectedFunction(env, Name::name);
    return Result();
  }
  template <typename Result, typename... Args>
  static Result JNICALL callVariadic(JNIEnv *env, Args..., ...) {
    unexpectedFunction(env, Name::name);
    return Result();
  }
};

// The slot's type is deduced rather than named as a template argument:
// mingw-w64's va_list carries an attribute that a template argument drops,
// which GCC would warn about for every ...V function.
template <typename Name, typename Result, typename... Args>
void installTrap(Result(JNICALL *&slot)(JNIEnv *, Args...)) {
  slot = &Trap<Name>::template call<Result, Args...>;
}
template <typename Name, typename Result, typename... Args>
void installTrap(Result(JNICALL *&slot)(JNIEnv *, Args..., ...)) {
  slot = &Trap<Name>::template callVariadic<Result, Args...>;
}

#define JNIHOST_SLOT_NAME(slot)                \
  struct slot##Slot {                          \
    static constexpr const char *name = #slot; \
  };
JNIHOST_FUNCTION_SLOTS(JNIHOST_SLOT_NAME)
#undef JNIHOST_SLOT_NAME

#define JNIHOST_COUNT_SLOT(slot) +1
constexpr std::size_t kReservedSlots = 4;
static_assert(sizeof(JNINativeInterface_) ==
                  (kReservedSlots JNIHOST_FUNCTION_SLOTS(JNIHOST_COUNT_SLOT)) * sizeof(void *),
              "jni_slots.h does not list every function of this JDK's jni.h");
#undef JNIHOST_COUNT_SLOT

void installTraps(JNINativeInterface_ &table) {
#define JNIHOST_INSTALL_TRAP(slot) installTrap<slot##Slot>(table.slot);
  JNIHOST_FUNCTION_SLOTS(JNIHOST_INSTALL_TRAP)
#undef JNIHOST_INSTALL_TRAP
}

// ---- Classes and exceptions -------------------------------------------------

jclass JNICALL findClass(JNIEnv *env, const char *name) {
  State &state = State::enter(env, "FindClass");
  if (name == nullptr) {
    state.violate("FindClass", "null class name");
    return nullptr;
  }
  if (knownClasses().count(name) == 0 || state.failedLookups.count(name) != 0) {
    state.raise(kNoClassDefFoundError, name);
    return nullptr;
  }
  return static_cast<jclass>(state.add(JavaClass{name}));
}

jint JNICALL throwNew(JNIEnv *env, jclass clazz, const char *message) {
  State &state = State::enter(env, "ThrowNew");
  const JavaClass *javaClass = state.use<JavaClass>("ThrowNew", clazz);
  if (javaClass == nullptr) {
    return JNI_ERR;
  }
  state.pending = Exception{javaClass->path, message == nullptr ? "" : message, message == nullptr};
  return JNI_OK;
}

jboolean JNICALL exceptionCheck(JNIEnv *env) {
  return State::enterExceptionSafe(env, "ExceptionCheck").pending ? JNI_TRUE : JNI_FALSE;
}

jthrowable JNICALL exceptionOccurred(JNIEnv *env) {
  State &state = State::enterExceptionSafe(env, "ExceptionOccurred");
  return state.pending ? static_cast<jthrowable>(state.add(JavaThrowable{*state.pending})) : nullptr;
}

void JNICALL exceptionClear(JNIEnv *env) {
  State::enterExceptionSafe(env, "ExceptionClear").pending.reset();
}

void JNICALL deleteLocalRef(JNIEnv *env, jobject ref) {
  State &state = State::enterExceptionSafe(env, "DeleteLocalRef");
  if (ref == nullptr) {
    return;
  }
  Object *object = state.lookup(ref);
  if (object == nullptr) {
    state.violate("DeleteLocalRef", "unknown reference");
  } else if (object->deleted) {
    state.violate("DeleteLocalRef", "reference already deleted");
  } else {
    object->deleted = true;
  }
}

// ---- Version and threads ----------------------------------------------------

jint JNICALL getVersion(JNIEnv *env) {
  return State::enter(env, "GetVersion").version;
}

jmethodID JNICALL getStaticMethodId(JNIEnv *env, jclass clazz, const char *name, const char *signature) {
  State &state = State::enter(env, "GetStaticMethodID");
  const JavaClass *javaClass = state.use<JavaClass>("GetStaticMethodID", clazz);
  if (javaClass == nullptr || name == nullptr || signature == nullptr) {
    return nullptr;
  }
  if (javaClass->path != kThreadClass || std::string(name) != kCurrentThreadName ||
      std::string(signature) != kCurrentThreadSignature) {
    state.raise(kNoSuchMethodError, name);
    return nullptr;
  }
  return currentThreadMethod();
}

jobject JNICALL callStaticObjectMethodV(JNIEnv *env, jclass clazz, jmethodID method, va_list) {
  State &state = State::enter(env, "CallStaticObjectMethodV");
  const JavaClass *javaClass = state.use<JavaClass>("CallStaticObjectMethodV", clazz);
  if (javaClass == nullptr) {
    return nullptr;
  }
  if (javaClass->path != kThreadClass || method != currentThreadMethod()) {
    state.violate("CallStaticObjectMethodV", "method ID not of this class");
    return nullptr;
  }
  return state.add(JavaThread{state.virtualThread});
}

jboolean JNICALL isVirtualThread(JNIEnv *env, jobject object) {
  State &state = State::enter(env, "IsVirtualThread");
  if (state.version < kJniVersion21) {
    state.violate("IsVirtualThread",
                  "not in the function table of JNI version " + std::to_string(state.version));
    return JNI_FALSE;
  }
  const JavaThread *thread = state.use<JavaThread>("IsVirtualThread", object);
  return thread != nullptr && thread->isVirtual ? JNI_TRUE : JNI_FALSE;
}

// ---- Strings ------------------------------------------------------------------

jstring JNICALL newString(JNIEnv *env, const jchar *unicode, jsize length) {
  State &state = State::enter(env, "NewString");
  if (length < 0 || (unicode == nullptr && length > 0)) {
    state.violate("NewString", "invalid characters or length " + std::to_string(length));
    return nullptr;
  }
  if (state.allocationFails()) {
    return nullptr;
  }
  return static_cast<jstring>(state.add(JavaString{std::u16string(unicode, unicode + length)}));
}

jstring JNICALL newStringUtf(JNIEnv *env, const char *utf) {
  State &state = State::enter(env, "NewStringUTF");
  if (utf == nullptr) {
    state.violate("NewStringUTF", "null text");
    return nullptr;
  }
  std::optional<std::u16string> text = decodeModifiedUtf8(utf);
  if (!text) {
    state.violate("NewStringUTF", "text is not modified UTF-8");
    return nullptr;
  }
  if (state.allocationFails()) {
    return nullptr;
  }
  return static_cast<jstring>(state.add(JavaString{std::move(*text)}));
}

jsize JNICALL getStringLength(JNIEnv *env, jstring text) {
  State &state = State::enter(env, "GetStringLength");
  const JavaString *string = state.use<JavaString>("GetStringLength", text);
  return string == nullptr ? 0 : static_cast<jsize>(string->text.size());
}

const jchar *JNICALL getStringChars(JNIEnv *env, jstring text, jboolean *isCopy) {
  State &state = State::enter(env, "GetStringChars");
  const JavaString *string = state.use<JavaString>("GetStringChars", text);
  if (string == nullptr) {
    return nullptr;
  }
  std::vector<jchar> chars(string->text.begin(), string->text.end());
  chars.push_back(kNotATerminator);
  const jchar *pinned = chars.data();
  state.stringPins.emplace(pinned, StringPin{text, std::move(chars)});
  if (isCopy != nullptr) {
    *isCopy = JNI_TRUE;
  }
  return pinned;
}

void JNICALL releaseStringChars(JNIEnv *env, jstring text, const jchar *chars) {
  State &state = State::enterExceptionSafe(env, "ReleaseStringChars");
  if (state.use<JavaString>("ReleaseStringChars", text) == nullptr) {
    return;
  }
  const auto pin = state.stringPins.find(chars);
  if (pin == state.stringPins.end() || pin->second.owner != text) {
    state.violate("ReleaseStringChars",
                  "chars not obtained from GetStringChars of this string, or released twice");
    return;
  }
  state.stringPins.erase(pin);
}

// ---- Byte arrays --------------------------------------------------------------

jsize JNICALL getArrayLength(JNIEnv *env, jarray array) {
  State &state = State::enter(env, "GetArrayLength");
  const JavaByteArray *bytes = state.use<JavaByteArray>("GetArrayLength", array);
  return bytes == nullptr ? 0 : bytes->unbackedLength.value_or(static_cast<jsize>(bytes->content.size()));
}

jbyteArray JNICALL newByteArray(JNIEnv *env, jsize length) {
  State &state = State::enter(env, "NewByteArray");
  if (length < 0) {
    state.violate("NewByteArray", "negative array length " + std::to_string(length));
    state.raise("java/lang/NegativeArraySizeException", std::to_string(length));
    return nullptr;
  }
  if (state.allocationFails()) {
    return nullptr;
  }
  return static_cast<jbyteArray>(
      state.add(JavaByteArray{std::vector<uint8_t>(static_cast<std::size_t>(length))}));
}

jbyte *JNICALL getByteArrayElements(JNIEnv *env, jbyteArray array, jboolean *isCopy) {
  State &state = State::enter(env, "GetByteArrayElements");
  const JavaByteArray *bytes = state.use<JavaByteArray>("GetByteArrayElements", array);
  if (bytes == nullptr) {
    return nullptr;
  }
  if (bytes->unbackedLength) {
    state.raise(kOutOfMemoryError, "Java heap space");
    return nullptr;
  }
  std::vector<jbyte> elements(bytes->content.size() + kGuardSize, kGuardByte);
  std::transform(bytes->content.begin(), bytes->content.end(), elements.begin(),
                 [](uint8_t byte) { return static_cast<jbyte>(byte); });
  jbyte *pinned = elements.data();
  state.arrayPins.emplace(pinned, ArrayPin{array, std::move(elements)});
  if (isCopy != nullptr) {
    *isCopy = JNI_TRUE;
  }
  return pinned;
}

bool guardIntact(const std::vector<jbyte> &elements, std::size_t length) {
  return std::all_of(elements.begin() + static_cast<std::ptrdiff_t>(length), elements.end(),
                     [](jbyte byte) { return byte == kGuardByte; });
}

void copyBack(const std::vector<jbyte> &elements, std::vector<uint8_t> &content) {
  std::transform(elements.begin(), elements.begin() + static_cast<std::ptrdiff_t>(content.size()),
                 content.begin(), [](jbyte byte) { return static_cast<uint8_t>(byte); });
}

void JNICALL releaseByteArrayElements(JNIEnv *env, jbyteArray array, jbyte *elements, jint mode) {
  State &state = State::enterExceptionSafe(env, "ReleaseByteArrayElements");
  JavaByteArray *bytes = state.use<JavaByteArray>("ReleaseByteArrayElements", array);
  if (bytes == nullptr) {
    return;
  }
  bytes->releaseModes.push_back(mode);
  const auto pin = state.arrayPins.find(elements);
  if (pin == state.arrayPins.end() || pin->second.owner != array) {
    state.violate("ReleaseByteArrayElements",
                  "elements not obtained from GetByteArrayElements of this array, or released twice");
    return;
  }
  if (mode != 0 && mode != JNI_COMMIT && mode != JNI_ABORT) {
    state.violate("ReleaseByteArrayElements", "invalid release mode " + std::to_string(mode));
    return;
  }
  if (!guardIntact(pin->second.elements, bytes->content.size())) {
    state.violate("ReleaseByteArrayElements", "write past the end of the elements");
  }
  if (mode != JNI_ABORT) {
    copyBack(pin->second.elements, bytes->content);
  }
  if (mode != JNI_COMMIT) {
    state.arrayPins.erase(pin);
  }
}

void installFunctions(FunctionTable &functions) {
  JNINativeInterface_ &table = functions.jdk;
  table.GetVersion = getVersion;
  table.GetStaticMethodID = getStaticMethodId;
  table.CallStaticObjectMethodV = callStaticObjectMethodV;
  functions.IsVirtualThread = isVirtualThread;
  table.FindClass = findClass;
  table.ThrowNew = throwNew;
  table.ExceptionOccurred = exceptionOccurred;
  table.ExceptionClear = exceptionClear;
  table.ExceptionCheck = exceptionCheck;
  table.DeleteLocalRef = deleteLocalRef;
  table.NewString = newString;
  table.NewStringUTF = newStringUtf;
  table.GetStringLength = getStringLength;
  table.GetStringChars = getStringChars;
  table.ReleaseStringChars = releaseStringChars;
  table.GetArrayLength = getArrayLength;
  table.NewByteArray = newByteArray;
  table.GetByteArrayElements = getByteArrayElements;
  table.ReleaseByteArrayElements = releaseByteArrayElements;
}

}  // namespace

// ---- The test's side -------------------------------------------------------------

Jvm::Jvm() : state_(std::make_unique<State>()) {
  installTraps(state_->functions.jdk);
  installFunctions(state_->functions);
  state_->environment.env.functions = &state_->functions.jdk;
  state_->environment.state = state_.get();
}

Jvm::~Jvm() = default;

JNIEnv *Jvm::env() {
  return &state_->environment.env;
}

jstring Jvm::newString(const std::u16string &text) {
  return static_cast<jstring>(state_->add(JavaString{text}));
}

std::u16string Jvm::stringValue(jstring text) const {
  return state_->read<JavaString>(text).text;
}

jbyteArray Jvm::newByteArray(const std::vector<uint8_t> &content) {
  return static_cast<jbyteArray>(state_->add(JavaByteArray{content}));
}

jbyteArray Jvm::newUnbackedByteArray(jsize length) {
  return static_cast<jbyteArray>(state_->add(JavaByteArray{{}, {}, length}));
}

std::vector<uint8_t> Jvm::bytes(jbyteArray array) const {
  return state_->read<JavaByteArray>(array).content;
}

std::optional<Exception> Jvm::pendingException() const {
  return state_->pending;
}

void Jvm::clearException() {
  state_->pending.reset();
}

void Jvm::failClassLookup(const std::string &classPath) {
  state_->failedLookups.insert(classPath);
}

void Jvm::failAllocations(int failures, int successes) {
  state_->failingAllocations = failures;
  state_->allocationsBeforeFailure = successes;
}

void Jvm::setVersion(jint version) {
  state_->version = version;
}

void Jvm::setVirtualThread(bool isVirtual) {
  state_->virtualThread = isVirtual;
}

std::vector<std::string> Jvm::violations() const {
  return state_->violations;
}

std::vector<std::string> Jvm::calls() const {
  return state_->calls;
}

int Jvm::outstandingPins() const {
  return static_cast<int>(state_->stringPins.size() + state_->arrayPins.size());
}

int Jvm::liveClassRefs() const {
  return static_cast<int>(
      std::count_if(state_->objects.begin(), state_->objects.end(), [](const auto &entry) {
        return !entry.second->deleted && std::holds_alternative<JavaClass>(entry.second->value);
      }));
}

std::vector<jint> Jvm::releaseModes(jbyteArray array) const {
  return state_->read<JavaByteArray>(array).releaseModes;
}

}  // namespace jnihost
