/**
 * Windows authentication and authorization for Java: SSPI security contexts,
 * user authorization contexts and machine utilities, through the native
 * library this module carries for 64-bit Windows.
 */
module com.corvane.zel.ntseclink {
    exports com.corvane.zel.ntseclink;
}
