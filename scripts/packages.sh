# The Debian packages each job needs; sourced by the scripts.
# The servlet filter's jar is compiled against libjakarta-servlet-api-java in
# both builds; its tests run it in an embedded Tomcat.
# shellcheck disable=SC2034
LINUX_BUILD_PACKAGES=(cmake make g++ openjdk-17-jdk-headless libjakarta-servlet-api-java)
LINUX_TEST_PACKAGES=(googletest libgtest-dev junit5 clang-tidy cppcheck clang-format libtomcat10-embed-java)
# The DLL and the release; the Windows JVM suite's sign-on server serves Tomcat too.
WINDOWS_BUILD_PACKAGES=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libtomcat10-embed-java)
# The Windows suite runs under Wine against a Kerberos KDC of its own, a JDK
# peer, and an Active Directory domain controller of its own for NTLM; pip
# fetches the Windows JVM's runtime (tests/windows-jvm/runtime.sh).
WINE_TEST_PACKAGES=(wine wine64 krb5-kdc krb5-admin-server krb5-user samba samba-ad-dc samba-ad-provision winbind
  samba-dsdb-modules samba-vfs-modules python3-pip)
# Only benchmarks/run.sh installs these: the Java benchmarks' libraries
# (JMH, JNA) come through Maven.
BENCHMARK_PACKAGES=(libbenchmark-dev maven)
