package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;

import org.junit.jupiter.api.Test;

/**
 * The WinUtil natives on the default simulated machine, through the JVM with
 * -Xcheck:jni.
 */
class WinUtilTest {
    private static final String PRODUCT_KEY = "SOFTWARE\\Corvane, Inc.\\Corvane Tarnwell";
    private static final int ERROR_FILE_NOT_FOUND = 2;
    private static final int ERROR_INVALID_PARAMETER = 87;

    @Test
    void aStringAndANumberMakeTheRoundTripThroughTheRegistry() {
        String text = "C:\\Daten\\\u00e4\u20ac";
        assertEquals(0, WinUtil.SetHKLMStringRegValue(PRODUCT_KEY, "JavaRoundTrip", text, true));
        assertEquals(text, WinUtil.GetHKLMStringRegValue(PRODUCT_KEY, "JavaRoundTrip", true));

        assertEquals(0, WinUtil.SetHKLMIntRegValue(PRODUCT_KEY, "JavaNumber", 0x41, false));
        assertEquals("A", WinUtil.GetHKLMStringRegValue(PRODUCT_KEY, "JavaNumber", false));
    }

    @Test
    void aMissingKeyIsReportedAndReadsAsNull() {
        assertEquals(ERROR_FILE_NOT_FOUND, WinUtil.SetHKLMStringRegValue("SOFTWARE\\NoSuchKey", "v", "x", true));
        assertEquals(ERROR_FILE_NOT_FOUND, WinUtil.SetHKLMIntRegValue("SOFTWARE\\NoSuchKey", "v", 1, true));
        assertNull(WinUtil.GetHKLMStringRegValue("SOFTWARE\\NoSuchKey", "v", true));
        assertNull(WinUtil.GetHKLMStringRegValue(null, null, false));
    }

    @Test
    void aNullOrEmptyKeyNamesNoKeyRatherThanTheHive() {
        for (String noKey : new String[] {null, ""}) {
            assertEquals(ERROR_INVALID_PARAMETER, WinUtil.SetHKLMStringRegValue(noKey, "JavaAtTheRoot", "x", true));
            assertEquals(ERROR_INVALID_PARAMETER, WinUtil.SetHKLMIntRegValue(noKey, "JavaAtTheRoot", 1, false));
            assertNull(WinUtil.GetHKLMStringRegValue(noKey, "JavaAtTheRoot", true));
        }
    }

    @Test
    void theProductPathsComeFromTheProductKeyAndTheShell() {
        assertEquals("C:\\Program Files\\Corvane\\Tarnwell", WinUtil.GetProductInstallPath());
        String dataDirectory = "C:\\ProgramData\\Corvane\\Corvane Tarnwell\\";
        assertEquals(dataDirectory + "x.log", WinUtil.GetCommonAppDataFilePath("x.log"));
        assertEquals(dataDirectory, WinUtil.GetCommonAppDataFilePath(null));
    }

    @Test
    void aFileNameHoldingUnitZeroIsRefusedRatherThanCutThere() {
        WinException refused = assertThrows(WinException.class,
                () -> WinUtil.GetCommonAppDataFilePath("report.exe\u0000.log"));
        assertEquals("Failed to resolve common app data path", refused.getMessage());
    }

    @Test
    void anUnusableDataDirectoryRaisesWinException() {
        assertEquals(0, WinUtil.SetHKLMStringRegValue(PRODUCT_KEY, "AppDataPath", "C:\\NoSuchDirectory", true));
        try {
            WinException failure = assertThrows(WinException.class, () -> WinUtil.GetCommonAppDataFilePath("x"));
            assertEquals("Failed to resolve common app data path", failure.getMessage());
        } finally {
            // An empty value counts as not set.
            assertEquals(0, WinUtil.SetHKLMStringRegValue(PRODUCT_KEY, "AppDataPath", "", true));
        }
    }

    @Test
    void theMachineNamesAndTheControllerCheckAreThePlatforms() {
        assertEquals("wks01.corvane.test", WinUtil.GetFullyQualifiedDnsName());
        assertEquals("WKS01", WinUtil.GetComputerNameNetBIOS());
        assertEquals(0, WinUtil.GetDCCheckResultCode());
    }
}
