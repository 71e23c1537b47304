// Faults of the simulated machine for the doctor's tests: the domain
// controller's answer and whether Kerberos reaches its key distribution
// centre. A test-only library, as live_resources.cpp.
#include <jni.h>
#include <winsim/control.h>

extern "C" JNIEXPORT void JNICALL
Java_com_corvane_zel_ntseclink_doctor_DoctorTest_setDomainControllerStatus(JNIEnv *, jclass, jint status) {
  winsim::setDomainControllerStatus(static_cast<DWORD>(status));
}

extern "C" JNIEXPORT void JNICALL
Java_com_corvane_zel_ntseclink_doctor_DoctorTest_setKerberosReachable(JNIEnv *, jclass, jboolean reachable) {
  winsim::setKerberosReachable(reachable == JNI_TRUE);
}
