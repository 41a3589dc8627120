/* Machine-dependent JNI definitions for 64-bit Windows (GCC or Clang targeting MinGW-w64).
 * A Linux JDK ships only its own platform's version of this header; the Windows build of the
 * agent takes jni.h and jvmti.h from the reference JDK and these definitions from here. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
/* The JVM calls natives and agent entry points with the platform's standard calling convention;
 * on x86-64 Windows there is only one, and __stdcall names it. */
#define JNICALL __stdcall

/* Windows is LLP64: int is 32 bits, long long 64. */
typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
