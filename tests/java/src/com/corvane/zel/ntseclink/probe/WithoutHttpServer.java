package com.corvane.zel.ntseclink.probe;

import com.corvane.zel.ntseclink.HttpNegotiate;

/**
 * Uses the release module where the JDK's HTTP server is not there: run on
 * the module path, from a package of the class path outside the module.
 */
public final class WithoutHttpServer {
    private WithoutHttpServer() {
    }

    public static void main(String[] args) {
        System.out.println(HttpNegotiate.class.getModule().getName() + " " + HttpNegotiate.headerValue(new byte[] {1})
                + " httpserver=" + ModuleLayer.boot().findModule("jdk.httpserver").isPresent());
    }
}
