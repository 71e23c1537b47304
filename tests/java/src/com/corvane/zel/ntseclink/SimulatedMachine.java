package com.corvane.zel.ntseclink;

/**
 * Controls of the simulated machine the library under test runs on, through
 * the tests' support library, which shares that machine.
 */
public final class SimulatedMachine {
    static {
        // The library under test first: the support library joins its platform.
        WinUtil.GetComputerNameNetBIOS();
        System.loadLibrary("ntseclink_test_support");
    }

    private SimulatedMachine() {
    }

    /** Whether the calling thread runs as someone other than the process user. */
    static native boolean threadImpersonating();

    /** Makes the next call of a Win32 function fail with a Windows error code. */
    static void failNextCall(String function, int code) {
        failCall(function, code, 1);
    }

    /** Makes the nth call from now (1 = the next) of a Win32 function fail with a Windows error code. */
    static native void failCall(String function, int code, int nth);

    /** How many of the failures made to happen have not been reached yet. */
    static native int pendingFaults();

    static native void clearFaults();

    /** Adds a group to a domain of the machine; false when the name is taken. Lasts as long as the process. */
    static native boolean addGroup(String domain, String name);

    /** Makes member ("DOMAIN\name") a direct member of group ("DOMAIN\name"); false when either is unknown. */
    static native boolean addMember(String group, String member);

    /** The status the domain-controller lookup answers; 0 finds one. */
    public static native void setDomainControllerStatus(int status);

    /**
     * Whether contexts answer a query of this attribute (SECPKG_ATTR_...);
     * one they do not answer gives SEC_E_UNSUPPORTED_FUNCTION.
     */
    public static native void setContextAttributeSupported(int attribute, boolean supported);

    /** Whether Kerberos reaches its key distribution centre; without it Negotiate takes NTLM. */
    public static native void setKerberosReachable(boolean reachable);

    /** Whether NTLM clients made from now on sign on anonymously, as NT AUTHORITY\ANONYMOUS LOGON. */
    static native void setAnonymousNtlmClients(boolean anonymous);

    /** Attribute flags every handshake step reports from now on beside those it grants; 0 for none. */
    static native void setExtraContextAttributes(int attributes);

    /** The account ("DOMAIN\name") every context made from now on signs on as; false when it is unknown. */
    static native boolean setProcessUser(String qualifiedName);
}
