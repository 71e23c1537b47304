package com.corvane.zel.ntseclink.windowsjvm;

/** An embedded Tomcat 10 with NegotiateFilter on the Windows JVM. */
class TomcatUnderWineTest extends HttpSignOnUnderWineCases {
    TomcatUnderWineTest() {
        super(WindowsJvmServer.Kind.TOMCAT);
    }
}
