package com.corvane.zel.ntseclink;

/**
 * Machine utilities: registry values under HKEY_LOCAL_MACHINE, the product's
 * directories, the computer's names, the domain-controller check and an
 * immediate end of the process. These report through their results and
 * keep no state. A registry key or value name holding U+0000 names nothing
 * (Windows would read it only up to there): it is never read or written. A
 * 64-bit process, which the release requires, reads and writes the 64-bit
 * registry view whatever {@code use64BitView} says; the flag chooses the view
 * only in a 32-bit process under WOW64.
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
     * @param subKey the key's path below the hive; null or empty names no key (not the hive itself)
     * @param valueName the value's name; empty or null for the key's default value
     * @param use64BitView true to ask for the 64-bit registry view of a 32-bit process, falling back to the
     *        32-bit view only when the key does not exist in the 64-bit one
     * @return the value's text, or null when the key or value cannot be read: the key missing or not
     *         readable, the value missing or without data, a null or empty subKey, or a name holding U+0000
     */
    public static native String GetHKLMStringRegValue(String subKey, String valueName, boolean use64BitView);

    /**
     * Writes a string value (REG_SZ) under HKEY_LOCAL_MACHINE, with its
     * terminator; the key must exist.
     *
     * @param subKey the key's path below the hive; null or empty names no key (not the hive itself)
     * @param valueName the value's name; empty or null for the key's default value
     * @param value the text to store, whole (null stores the empty string)
     * @param use64BitView true to ask for the 64-bit registry view of a 32-bit process, falling back to the
     *        32-bit view only when the key does not exist in the 64-bit one
     * @return 0 on success. When the key cannot be opened nothing is written and the open's status is
     *         returned: 2 (ERROR_FILE_NOT_FOUND) for a key that does not exist, 5 (ERROR_ACCESS_DENIED) for
     *         one that may not be written. 87 (ERROR_INVALID_PARAMETER), with nothing written, for a null
     *         or empty subKey or a key or value name holding U+0000. Otherwise the Windows error code of the
     *         write
     */
    public static native int SetHKLMStringRegValue(String subKey, String valueName, String value,
            boolean use64BitView);

    /**
     * Writes a 32-bit integer value (REG_DWORD) under HKEY_LOCAL_MACHINE; the
     * key must exist.
     *
     * @param subKey the key's path below the hive; null or empty names no key (not the hive itself)
     * @param valueName the value's name; empty or null for the key's default value
     * @param value the number to store
     * @param use64BitView true to ask for the 64-bit registry view of a 32-bit process, falling back to the
     *        32-bit view only when the key does not exist in the 64-bit one
     * @return as {@link #SetHKLMStringRegValue}: 0 on success, 2 or 5 from an open that failed, 87 for a
     *         null or empty subKey or a name holding U+0000, else the Windows error code of the write
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
     * @throws WinException when the data directory cannot be resolved or created, the path (directory,
     *         backslash and file name) would not fit in 259 characters (MAX_PATH less its terminator), or the
     *         file name holds U+0000, where Windows would end the path; nothing is created then
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
