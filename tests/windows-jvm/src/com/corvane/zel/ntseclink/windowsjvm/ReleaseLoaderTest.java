package com.corvane.zel.ntseclink.windowsjvm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.corvane.zel.ntseclink.SSPI;
import com.corvane.zel.ntseclink.WinUtil;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.HexFormat;
import java.util.List;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * The release jar's loader on a Windows JVM: the DLL comes out of the jar
 * into a private copy that matches the SHA-256 recorded in the jar, and
 * starts clean up after each other, also when two start at once.
 */
class ReleaseLoaderTest {
    private static final String DLL_RESOURCE = "/native/windows-x86_64/ntseclink.dll";

    @BeforeAll
    static void loadTheLibrary() {
        assertNull(System.getProperty("ntseclink.library.path"), "the suite loads the jar's own DLL");
        assertFalse(WinUtil.GetComputerNameNetBIOS().isEmpty(), "a native of the loaded library answers");
    }

    @Test
    void theDllIsACopyOfTheJarsWithTheRecordedSha256() throws Exception {
        String recorded = recordedSha256();
        try (InputStream jarDll = SSPI.class.getResourceAsStream(DLL_RESOURCE)) {
            assertEquals(recorded, sha256(jarDll.readAllBytes()), "the jar's DLL has the SHA-256 recorded beside it");
        }
        List<Path> copies = copiesInTheTemporaryFolder();
        assertFalse(copies.isEmpty(), "no copy of ntseclink.dll under " + temporaryFolder());
        for (Path copy : copies) {
            assertEquals(recorded, sha256(Files.readAllBytes(copy)), "SHA-256 of " + copy);
        }
    }

    @Test
    void theCopyIsInAFolderOfTheCurrentUser() throws IOException {
        String user = System.getProperty("user.name");
        for (Path copy : copiesInTheTemporaryFolder()) {
            Path folder = copy.getParent().getParent();
            assertTrue(folder.startsWith(temporaryFolder()), copy + " is in the temporary folder");
            assertTrue(Files.getOwner(folder).getName().endsWith(user),
                    "owner of " + folder + ": " + Files.getOwner(folder).getName() + ", not " + user);
        }
    }

    @Test
    void aLaterStartRemovesTheCopiesOfEarlierOnes() throws Exception {
        List<Path> before = copiesInTheTemporaryFolder();
        // Two starts that have ended: the second removes the first's copy, and any earlier one not held.
        WineRun.output(WineRun.childJvm().start());
        WineRun.output(WineRun.childJvm().start());
        List<Path> earlierLeft = before.stream().filter(Files::exists).collect(Collectors.toList());
        // At most this JVM's own copy stays: Windows refuses to delete a loaded DLL.
        assertTrue(earlierLeft.size() <= 1, "copies of earlier starts left: " + earlierLeft);
        List<Path> after = copiesInTheTemporaryFolder();
        assertTrue(after.size() <= 2, "copies left after two ended starts: " + after);
    }

    @Test
    void twoJvmsStartingAtOnceBothLoad() throws Exception {
        Process first = WineRun.childJvm().start();
        Process second = WineRun.childJvm().start();
        String netbios = "netbios=" + WinUtil.GetComputerNameNetBIOS();
        assertTrue(WineRun.output(first).contains(netbios), "the first JVM loaded the library");
        assertTrue(WineRun.output(second).contains(netbios), "the second JVM loaded the library");
    }

    private static Path temporaryFolder() {
        return Paths.get(System.getProperty("java.io.tmpdir")).toAbsolutePath();
    }

    /** Every ntseclink.dll in a copies folder of the temporary folder: {@code ntseclink-*}/{@code copy-*}/. */
    static List<Path> copiesInTheTemporaryFolder() throws IOException {
        try (Stream<Path> files = Files.find(temporaryFolder(), 3,
                (path, attributes) -> attributes.isRegularFile() && path.getFileName().toString().equals("ntseclink.dll")
                        && path.getParent().getParent().getFileName().toString().startsWith("ntseclink-"))) {
            return files.collect(Collectors.toList());
        }
    }

    private static String recordedSha256() throws IOException {
        try (InputStream recorded = SSPI.class.getResourceAsStream(DLL_RESOURCE + ".sha256")) {
            return new String(recorded.readAllBytes(), StandardCharsets.US_ASCII).trim();
        }
    }

    static String sha256(byte[] bytes) throws NoSuchAlgorithmException {
        return HexFormat.of().formatHex(MessageDigest.getInstance("SHA-256").digest(bytes));
    }
}
