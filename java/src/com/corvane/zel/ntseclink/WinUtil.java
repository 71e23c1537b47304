package com.corvane.zel.ntseclink;

/**
 * Machine utilities: registry values under HKEY_LOCAL_MACHINE, the product's
 * directories, the computer's names, the domain-controller check and an
 * immediate end of the process. These report through their results and
 * keep no state. A registry key or value name holding U+0000 names nothing
 * (Windows would read it only up to there): it is never read or written.
 */
public final class WinUtil {
    static {
        NativeLibraryLoader.ensureLoaded();
    }

    private WinUtil() {
    }

    /**
     * Reads a string value under HKEY_LOCAL_MACHINE.
     *
     * @param subKey the key's path below the hive
     * @param valueName the value's name; empty for the key's default value
     * @param use64BitView true to ask for the 64-bit registry view of a 32-bit process, falling back to the
     *        32-bit view when the key is not there
     * @return the value's text, or null when the key or value cannot be read
     */
    public static native String GetHKLMStringRegValue(String subKey, String valueName, boolean use64BitView);

    /**
     * Writes a string value (REG_SZ) under HKEY_LOCAL_MACHINE.
     *
     * @param subKey the key's path below the hive
     * @param valueName the value's name
     * @param value the text to store
     * @param use64BitView true to ask for the 64-bit registry view of a 32-bit process
     * @return 0 on success or when the key cannot be opened, else the Windows error code of the write
     */
    public static native int SetHKLMStringRegValue(String subKey, String valueName, String value,
            boolean use64BitView);

    /**
     * Writes a 32-bit integer value (REG_DWORD) under HKEY_LOCAL_MACHINE.
     *
     * @param subKey the key's path below the hive
     * @param valueName the value's name
     * @param value the number to store
     * @param use64BitView true to ask for the 64-bit registry view of a 32-bit process
     * @return 0 on success or when the key cannot be opened, else the Windows error code of the write
     */
    public static native int SetHKLMIntRegValue(String subKey, String valueName, int value, boolean use64BitView);

    /**
     * Gives the directory the product's installer recorded.
     *
     * @return the install directory without a trailing backslash, or null when none is recorded
     */
    public static native String GetProductInstallPath();

    /**
     * Gives the path of a file in the product's machine-wide data directory,
     * creating the directory when it does not exist yet.
     *
     * @param fileName the file's name
     * @return the data directory, a backslash and the file name
     * @throws WinException when the data directory cannot be resolved or created
     */
    public static native String GetCommonAppDataFilePath(String fileName);

    /**
     * Gives the computer's fully qualified DNS name.
     *
     * @return the name, or null when Windows cannot tell it
     */
    public static native String GetFullyQualifiedDnsName();

    /**
     * Gives the computer's NetBIOS name.
     *
     * @return the name, or null when Windows cannot tell it
     */
    public static native String GetComputerNameNetBIOS();

    /**
     * Looks for a domain controller of the machine's domain.
     *
     * @return 0 when one is found, else the Windows status of the lookup
     */
    public static native int GetDCCheckResultCode();

    /**
     * Ends the whole process at once with an exit code, without running
     * shutdown hooks or finalisation. Returns only if Windows refuses.
     *
     * @param exitCode the process's exit code, taken as an unsigned 32-bit number
     */
    public static native void TerminateProcess(int exitCode);
}
