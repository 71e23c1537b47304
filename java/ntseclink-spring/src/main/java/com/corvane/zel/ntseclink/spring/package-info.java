/**
 * Windows sign-on (HTTP Negotiate: Kerberos or NTLM) for Spring Security:
 * {@link com.corvane.zel.ntseclink.spring.NegotiateConfigurer} adds it to a
 * {@code SecurityFilterChain}, and signs clients on as
 * {@link com.corvane.zel.ntseclink.spring.NegotiateAuthentication}.
 */
package com.corvane.zel.ntseclink.spring;
