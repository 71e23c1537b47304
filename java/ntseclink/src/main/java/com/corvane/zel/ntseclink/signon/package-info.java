/**
 * Not an API: the Negotiate sign-on rules that the HTTP integrations
 * ({@code com.corvane.zel.ntseclink.http}, the servlet jar and the Spring jar)
 * share, exported to those jars' modules only; it may change in any release.
 */
package com.corvane.zel.ntseclink.signon;
