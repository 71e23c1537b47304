# The Debian packages each job needs; sourced by the scripts. Java libraries
# come through Maven (java/pom.xml), not from here.
# shellcheck disable=SC2034
JAVA_BUILD_PACKAGES=(openjdk-17-jdk-headless maven)
LINUX_BUILD_PACKAGES=(cmake make g++ "${JAVA_BUILD_PACKAGES[@]}")
LINUX_TEST_PACKAGES=(googletest libgtest-dev clang-tidy cppcheck clang-format)
# The DLL, and the release that Maven packs with it.
WINDOWS_BUILD_PACKAGES=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64)
# The Windows suite runs under Wine against a Kerberos KDC of its own, a JDK
# peer, and an Active Directory domain controller of its own for NTLM; pip
# fetches the Windows JVM's runtime (tests/windows-jvm/runtime.sh).
WINE_TEST_PACKAGES=(wine wine64 krb5-kdc krb5-admin-server krb5-user samba samba-ad-dc samba-ad-provision winbind
  samba-dsdb-modules samba-vfs-modules python3-pip)
# Only benchmarks/run.sh installs these: the Java benchmarks' libraries
# (JMH, JNA) come through Maven.
BENCHMARK_PACKAGES=(libbenchmark-dev)
