/**
 * Windows authentication and authorization for Java: SSPI security contexts,
 * user authorization contexts and machine utilities, through the native
 * library this module carries for 64-bit Windows, and Windows sign-on for the
 * JDK's HTTP server.
 */
// The sign-on rules are shared with the servlet and Spring jars, modules of their own
// (automatic) that this one does not depend on: not found at compile time.
@SuppressWarnings("module")
module com.corvane.zel.ntseclink {
    // Static: an application that uses no HTTP server loads the module
    // without it. Transitive: the http package's API is made of its types.
    requires static transitive jdk.httpserver;

    exports com.corvane.zel.ntseclink;
    exports com.corvane.zel.ntseclink.http;
    exports com.corvane.zel.ntseclink.signon to com.corvane.zel.ntseclink.servlet,
            com.corvane.zel.ntseclink.spring;
}
