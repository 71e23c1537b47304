/**
 * Not an API: the Negotiate sign-on rules that the HTTP integrations
 * ({@code com.corvane.zel.ntseclink.http} and the servlet jar) share, exported
 * to the servlet jar's module only; it may change in any release.
 */
package com.corvane.zel.ntseclink.signon;
