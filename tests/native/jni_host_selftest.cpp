// The JNI host's own checks: the natives' tests rely on them to see misuse.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "jni_host.h"
#include "native_library.h"
#include "natives.h"

namespace {

using jnihost::Jvm;
using Strings = std::vector<std::string>;

const char *const kCharsNotObtained =
    "ReleaseStringChars: chars not obtained from GetStringChars of this string, or released twice";
const char *const kElementsNotObtained =
    "ReleaseByteArrayElements: elements not obtained from GetByteArrayElements of this array, or released "
    "twice";

class JniHostTest : public ::testing::Test {
 protected:
  Jvm jvm;
  JNIEnv *env = jvm.env();
};

TEST_F(JniHostTest, FunctionsOutsideTheLibrarysSetAreTrappedAndReturnZero) {
  EXPECT_EQ(env->GetSuperclass(nullptr), nullptr);
  EXPECT_EQ(env->NewGlobalRef(jvm.newString(u"x")), nullptr);
  // Through the table: JNIEnv's own CallStaticVoidMethod forwards to the V variant.
  env->functions->CallStaticVoidMethod(env, nullptr, nullptr, 1, 2.0);
  EXPECT_EQ(env->GetStaticDoubleField(nullptr, nullptr), 0.0);

  EXPECT_EQ(jvm.violations(),
            (Strings{"unexpected JNI function GetSuperclass", "unexpected JNI function NewGlobalRef",
                     "unexpected JNI function CallStaticVoidMethod",
                     "unexpected JNI function GetStaticDoubleField"}));
}

TEST_F(JniHostTest, ThrowNewLeavesTheExceptionPendingUntilCleared) {
  jclass winAuth = env->FindClass(jnihost::kWinAuthException);
  ASSERT_NE(winAuth, nullptr);
  EXPECT_EQ(env->ThrowNew(winAuth, "Invalid handle"), JNI_OK);
  env->DeleteLocalRef(winAuth);

  ASSERT_TRUE(jvm.pendingException());
  EXPECT_EQ(jvm.pendingException()->className, jnihost::kWinAuthException);
  EXPECT_EQ(jvm.pendingException()->message, "Invalid handle");
  EXPECT_TRUE(env->ExceptionCheck());
  EXPECT_NE(env->ExceptionOccurred(), nullptr);
  env->ExceptionClear();
  EXPECT_FALSE(jvm.pendingException());
  EXPECT_TRUE(jvm.violations().empty());
}

TEST_F(JniHostTest, OnlyExceptionSafeFunctionsMayBeCalledWithAnExceptionPending) {
  jstring text = jvm.newString(u"abc");
  const jchar *chars = env->GetStringChars(text, nullptr);
  jclass winAuth = env->FindClass(jnihost::kWinAuthException);
  env->ThrowNew(winAuth, "first");

  env->ReleaseStringChars(text, chars);
  env->DeleteLocalRef(winAuth);
  env->ExceptionCheck();
  EXPECT_TRUE(jvm.violations().empty());

  jclass again = env->FindClass(jnihost::kWinAuthException);
  env->ThrowNew(again, "second");
  EXPECT_EQ(
      jvm.violations(),
      (Strings{
          "FindClass: JNI call made with exception pending (com/corvane/zel/ntseclink/WinAuthException)",
          "ThrowNew: JNI call made with exception pending (com/corvane/zel/ntseclink/WinAuthException)"}));
}

TEST_F(JniHostTest, AFailedClassLookupReturnsNullWithNoClassDefFoundErrorPending) {
  jvm.failClassLookup(jnihost::kGroupNotFoundException);

  EXPECT_EQ(env->FindClass(jnihost::kGroupNotFoundException), nullptr);
  ASSERT_TRUE(jvm.pendingException());
  EXPECT_EQ(jvm.pendingException()->className, jnihost::kNoClassDefFoundError);
  jvm.clearException();

  EXPECT_EQ(env->FindClass("java/lang/String"), nullptr);
  EXPECT_EQ(jvm.pendingException()->className, jnihost::kNoClassDefFoundError);
  jvm.clearException();

  EXPECT_NE(env->FindClass(jnihost::kUserNotFoundException), nullptr);
  EXPECT_FALSE(jvm.pendingException());
}

TEST_F(JniHostTest, ClassReferencesStayLiveUntilDeleted) {
  jclass first = env->FindClass(jnihost::kWinAuthException);
  jclass second = env->FindClass(jnihost::kWinException);
  EXPECT_EQ(jvm.liveClassRefs(), 2);
  env->DeleteLocalRef(first);
  env->DeleteLocalRef(nullptr);
  EXPECT_EQ(jvm.liveClassRefs(), 1);
  env->DeleteLocalRef(second);
  EXPECT_EQ(jvm.liveClassRefs(), 0);

  env->DeleteLocalRef(second);
  EXPECT_EQ(jvm.violations(), Strings{"DeleteLocalRef: reference already deleted"});
}

TEST_F(JniHostTest, ScheduledAllocationFailuresReturnNullWithOutOfMemoryErrorPending) {
  jvm.failAllocations(2, 1);

  EXPECT_NE(env->NewByteArray(4), nullptr);
  const jchar unit = u'a';
  EXPECT_EQ(env->NewString(&unit, 1), nullptr);
  ASSERT_TRUE(jvm.pendingException());
  EXPECT_EQ(jvm.pendingException()->className, jnihost::kOutOfMemoryError);
  jvm.clearException();
  EXPECT_EQ(env->NewStringUTF("a"), nullptr);
  jvm.clearException();
  EXPECT_NE(env->NewByteArray(4), nullptr);
  EXPECT_TRUE(jvm.violations().empty());
}

TEST_F(JniHostTest, StringCharsAreACopyThatMustBeReleasedOnce) {
  jstring text = jvm.newString(std::u16string(u"ab\0c", 4));
  EXPECT_EQ(env->GetStringLength(text), 4);
  jboolean isCopy = JNI_FALSE;
  const jchar *chars = env->GetStringChars(text, &isCopy);
  EXPECT_EQ(isCopy, JNI_TRUE);
  EXPECT_EQ(std::u16string(chars, chars + 4), std::u16string(u"ab\0c", 4));
  EXPECT_EQ(jvm.outstandingPins(), 1);

  env->ReleaseStringChars(text, chars);
  EXPECT_EQ(jvm.outstandingPins(), 0);
  env->ReleaseStringChars(text, chars);
  EXPECT_EQ(jvm.violations(), Strings{kCharsNotObtained});
}

TEST_F(JniHostTest, NewStringUtfDecodesModifiedUtf8AndRejectsOtherBytes) {
  // U+00E9, an encoded U+0000, and U+1F600 as two encoded surrogates.
  jstring decoded = env->NewStringUTF("\xc3\xa9\xc0\x80\xed\xa0\xbd\xed\xb8\x80");
  EXPECT_EQ(jvm.stringValue(decoded), std::u16string(u"\u00e9\0\U0001F600", 4));

  EXPECT_EQ(env->NewStringUTF("\xf0\x9f\x98\x80"), nullptr);
  EXPECT_EQ(env->NewStringUTF("\xc3"), nullptr);
  EXPECT_EQ(jvm.violations(), (Strings{"NewStringUTF: text is not modified UTF-8",
                                       "NewStringUTF: text is not modified UTF-8"}));
}

TEST_F(JniHostTest, ByteArrayWritesLandOnlyWhenReleasedWithCopyBack) {
  jbyteArray array = jvm.newByteArray({1, 2, 3});
  jboolean isCopy = JNI_FALSE;
  jbyte *elements = env->GetByteArrayElements(array, &isCopy);
  EXPECT_EQ(isCopy, JNI_TRUE);
  elements[0] = 9;
  EXPECT_EQ(jvm.bytes(array), (std::vector<uint8_t>{1, 2, 3}));
  env->ReleaseByteArrayElements(array, elements, JNI_COMMIT);
  EXPECT_EQ(jvm.bytes(array), (std::vector<uint8_t>{9, 2, 3}));
  EXPECT_EQ(jvm.outstandingPins(), 1);

  elements[1] = 8;
  env->ReleaseByteArrayElements(array, elements, JNI_ABORT);
  EXPECT_EQ(jvm.bytes(array), (std::vector<uint8_t>{9, 2, 3}));
  EXPECT_EQ(jvm.outstandingPins(), 0);

  elements = env->GetByteArrayElements(array, nullptr);
  elements[2] = 7;
  env->ReleaseByteArrayElements(array, elements, 0);
  EXPECT_EQ(jvm.bytes(array), (std::vector<uint8_t>{9, 2, 7}));

  EXPECT_EQ(jvm.releaseModes(array), (std::vector<jint>{JNI_COMMIT, JNI_ABORT, 0}));
  EXPECT_TRUE(jvm.violations().empty());
}

TEST_F(JniHostTest, ByteArrayElementMisuseIsReported) {
  jbyteArray array = jvm.newByteArray({1, 2});
  jbyteArray other = jvm.newByteArray({3});
  jbyte *elements = env->GetByteArrayElements(array, nullptr);

  env->ReleaseByteArrayElements(other, elements, JNI_ABORT);
  env->ReleaseByteArrayElements(array, elements, 7);
  elements[2] = 1;
  env->ReleaseByteArrayElements(array, elements, 0);
  env->ReleaseByteArrayElements(array, elements, 0);

  EXPECT_EQ(jvm.violations(),
            (Strings{kElementsNotObtained, "ReleaseByteArrayElements: invalid release mode 7",
                     "ReleaseByteArrayElements: write past the end of the elements", kElementsNotObtained}));
  EXPECT_EQ(jvm.outstandingPins(), 0);
}

TEST_F(JniHostTest, NewByteArrayGivesZeroedArraysAndRejectsNegativeLengths) {
  jbyteArray array = env->NewByteArray(3);
  EXPECT_EQ(env->GetArrayLength(array), 3);
  EXPECT_EQ(jvm.bytes(array), (std::vector<uint8_t>{0, 0, 0}));

  EXPECT_EQ(env->NewByteArray(-1), nullptr);
  EXPECT_EQ(jvm.violations(), Strings{"NewByteArray: negative array length -1"});
  EXPECT_TRUE(jvm.pendingException());
}

TEST_F(JniHostTest, UnusableReferencesAreReportedNotFollowed) {
  jstring text = jvm.newString(u"abc");
  jbyteArray array = jvm.newByteArray({1});
  int notAnObject = 0;

  EXPECT_EQ(env->GetStringLength(nullptr), 0);
  EXPECT_EQ(env->GetStringLength(reinterpret_cast<jstring>(&notAnObject)), 0);
  EXPECT_EQ(env->GetArrayLength(reinterpret_cast<jarray>(text)), 0);
  env->DeleteLocalRef(array);
  EXPECT_EQ(env->GetByteArrayElements(array, nullptr), nullptr);

  EXPECT_EQ(jvm.violations(),
            (Strings{"GetStringLength: null reference", "GetStringLength: unknown reference",
                     "GetArrayLength: reference to an object of the wrong type",
                     "GetByteArrayElements: deleted local reference"}));
}

TEST_F(JniHostTest, TheTestsOwnReadsRejectNullReferences) {
  EXPECT_THROW(jvm.stringValue(nullptr), std::invalid_argument);
  EXPECT_THROW(jvm.bytes(nullptr), std::invalid_argument);
}

// IsVirtualThread, in the table slot after GetModule, as a library built
// against the JDK 17 jni.h reaches it.
jboolean isVirtualThread(JNIEnv *env, jobject object) {
  using Function = jboolean(JNICALL *)(JNIEnv *, jobject);
  Function function = nullptr;
  std::memcpy(&function,
              reinterpret_cast<const unsigned char *>(env->functions) + sizeof(JNINativeInterface_),
              sizeof function);
  return function(env, object);
}

TEST_F(JniHostTest, TheCurrentThreadIsVirtualWhenTheTestSaysSo) {
  EXPECT_EQ(env->GetVersion(), jnihost::kJniVersion21);
  jclass threadClass = env->FindClass(jnihost::kThreadClass);
  ASSERT_NE(threadClass, nullptr);
  jmethodID currentThread = env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;");
  ASSERT_NE(currentThread, nullptr);
  jobject platform = env->CallStaticObjectMethod(threadClass, currentThread);
  jvm.setVirtualThread(true);
  jobject virtualThread = env->CallStaticObjectMethod(threadClass, currentThread);
  EXPECT_EQ(isVirtualThread(env, platform), JNI_FALSE);
  EXPECT_EQ(isVirtualThread(env, virtualThread), JNI_TRUE);
  env->DeleteLocalRef(threadClass);
  EXPECT_TRUE(jvm.violations().empty());
}

TEST_F(JniHostTest, AnOlderVersionHasNoIsVirtualThreadAndOneStaticMethodIsOffered) {
  jvm.setVersion(jnihost::kJniVersion10);
  EXPECT_EQ(env->GetVersion(), jnihost::kJniVersion10);
  jclass threadClass = env->FindClass(jnihost::kThreadClass);
  jobject thread = env->CallStaticObjectMethod(
      threadClass, env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;"));
  EXPECT_EQ(isVirtualThread(env, thread), JNI_FALSE);

  EXPECT_EQ(env->GetStaticMethodID(threadClass, "sleep", "(J)V"), nullptr);
  ASSERT_TRUE(jvm.pendingException());
  EXPECT_EQ(jvm.pendingException()->className, jnihost::kNoSuchMethodError);
  jvm.clearException();
  env->DeleteLocalRef(threadClass);
  EXPECT_EQ(jvm.violations(), Strings{"IsVirtualThread: not in the function table of JNI version 655360"});
}

TEST_F(JniHostTest, CallsAreJournalledInOrder) {
  jclass winAuth = env->FindClass(jnihost::kWinAuthException);
  env->DeleteLocalRef(winAuth);
  env->NewStringUTF("S-1-5-32-544");
  EXPECT_EQ(jvm.calls(), (Strings{"FindClass", "DeleteLocalRef", "NewStringUTF"}));
}

TEST(NativeLibraryTest, ALibraryThatCannotBeLoadedIsReportedWithItsPath) {
  try {
    jnihost::NativeLibrary missing("/nonexistent/libmissing.so");
    FAIL() << "loaded a library that does not exist";
  } catch (const std::runtime_error &error) {
    EXPECT_NE(std::string(error.what()).find("/nonexistent/libmissing.so"), std::string::npos)
        << error.what();
  }
}

TEST(NativeLibraryTest, NativesResolveByTheirExportNamesAndStayNullWhenAbsent) {
  jnihost::NativeLibrary library(NTSECLINK_LIBRARY_PATH);
  jnihost::Natives natives(library);
  EXPECT_NE(natives.SSPI_CreateContext, nullptr);
  EXPECT_EQ(library.function<void (*)()>("Java_com_corvane_zel_ntseclink_SSPI_NoSuchNative"), nullptr);
}

}  // namespace
