/**
 * Windows authentication and authorization for Java: the process's own
 * Kerberos, NTLM and Negotiate sign-on through SSPI, the groups of signed-on
 * clients and of named users, and a few machine utilities.
 *
 * <h2>Where to start</h2>
 * <ul>
 * <li>{@link com.corvane.zel.ntseclink.ServerContext}: a service
 * authenticating its client, then asking who it is, testing its groups,
 * running work as the client and protecting messages;
 * <li>{@link com.corvane.zel.ntseclink.ClientContext}: the other side, signing
 * on to a service as the process's own user;
 * <li>{@link com.corvane.zel.ntseclink.UserContext}: the groups of a user
 * named by account, without a sign-on or a password;
 * <li>{@link com.corvane.zel.ntseclink.NegotiateServer},
 * {@link com.corvane.zel.ntseclink.NegotiateClient} and
 * {@link com.corvane.zel.ntseclink.HttpNegotiate}: the same over HTTP
 * Negotiate headers, for a web service and its clients.
 * </ul>
 * Each context is {@link java.lang.AutoCloseable}: use it in
 * try-with-resources. Failures are {@link com.corvane.zel.ntseclink.WinAuthException}s,
 * whose {@link com.corvane.zel.ntseclink.WinAuthException#status()} gives the
 * Windows status when Windows failed.
 *
 * <h2>The low-level layer</h2>
 * The static natives of {@link com.corvane.zel.ntseclink.SSPI},
 * {@link com.corvane.zel.ntseclink.UserAuth} and
 * {@link com.corvane.zel.ntseclink.WinUtil} are the library's own interface,
 * which the classes above are built on: integer handles that the caller must
 * free exactly once, and none of the thread and lifetime rules of the
 * contexts. Use them for what the classes above do not offer
 * ({@link com.corvane.zel.ntseclink.WinUtil}'s registry and machine utilities
 * have no other form).
 *
 * <h2>Loading</h2>
 * The library loads on first use: on 64-bit Windows the DLL the release jar
 * carries; anywhere, the library file the system property
 * {@code ntseclink.library.path} names, such as the Linux build on the
 * simulated Windows machine, which tests and demonstrations opt into.
 */
package com.corvane.zel.ntseclink;
