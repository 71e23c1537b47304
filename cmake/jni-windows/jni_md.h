/* Machine-dependent JNI types for 64-bit Windows, where jint is a 32-bit
   long, natives are exported from the DLL and use the system's calling
   convention. The JDK on the build machine ships only its Linux variant. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
