package com.corvane.zel.ntseclink.windowsjvm;

/** The JDK's HTTP server with NegotiateAuthenticator on the Windows JVM. */
class JdkHttpServerUnderWineTest extends HttpSignOnUnderWineCases {
    JdkHttpServerUnderWineTest() {
        super(WindowsJvmServer.Kind.JDK);
    }
}
