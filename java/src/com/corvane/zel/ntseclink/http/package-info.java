/**
 * Windows sign-on for the JDK's HTTP server ({@code jdk.httpserver}):
 * {@link com.corvane.zel.ntseclink.http.NegotiateAuthenticator} protects an
 * {@code HttpContext} with HTTP Negotiate (Kerberos or NTLM). The module
 * needs {@code jdk.httpserver} only when this package is used.
 */
package com.corvane.zel.ntseclink.http;
