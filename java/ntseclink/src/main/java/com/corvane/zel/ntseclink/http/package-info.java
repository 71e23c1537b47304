/**
 * Windows sign-on for the JDK's HTTP server ({@code jdk.httpserver}):
 * {@link com.corvane.zel.ntseclink.http.NegotiateAuthenticator} protects an
 * {@code HttpContext} with HTTP Negotiate (Kerberos or NTLM). The module
 * needs {@code jdk.httpserver} only when this package is used: on the module
 * path, the application then requires it itself ({@code requires
 * jdk.httpserver;}), since this module requires it statically; without it,
 * loading the authenticator fails with {@code NoClassDefFoundError:
 * com/sun/net/httpserver/Authenticator}.
 */
package com.corvane.zel.ntseclink.http;
