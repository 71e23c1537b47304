package com.corvane.zel.ntseclink;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertDoesNotThrow;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.params.provider.Arguments.arguments;

import com.corvane.zel.ntseclink.probe.WithoutHttpServer;
import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.lang.module.ModuleDescriptor;
import java.net.URI;
import java.net.URISyntaxException;
import java.net.URL;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.nio.file.attribute.UserPrincipalLookupService;
import java.nio.file.attribute.UserPrincipalNotFoundException;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.EnumSet;
import java.util.HashSet;
import java.util.HexFormat;
import java.util.List;
import java.util.Map;
import java.util.Properties;
import java.util.Set;
import java.util.TreeMap;
import java.util.jar.Attributes;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * The release jar, as the Windows build packed it, and its loader: the jar
 * carries the tested classes and the tested DLL and no other native file, is
 * a module that loads without the JDK's HTTP server, and has the tested
 * servlet filter's jar beside it;
 * off 64-bit Windows it refuses with a clear message; on Windows it copies
 * the DLL into a fresh folder only the user can open, checks the copy against
 * the SHA-256 recorded in the jar, and removes the copies of earlier starts.
 * The Windows cases run here with a Windows os.name, up to the point where
 * the DLL would be loaded, on a made-up jar. The cases tagged
 * {@value #RELEASE} read the release, which only the Windows build makes.
 */
class ReleaseJarTest {
    /** The tag of the cases that need the release jar and the Windows build's DLL. */
    static final String RELEASE = "release";

    private static final String PACKAGE_DIR = "com/corvane/zel/ntseclink/";
    private static final String DLL_ENTRY = NativeLibraryLoader.DLL_RESOURCE.substring(1);
    private static final String SHA256_ENTRY = NativeLibraryLoader.DLL_SHA256_RESOURCE.substring(1);
    private static final Pattern RELEASE_NAME = Pattern.compile("ntseclink-([0-9.]+)\\.jar");
    private static final String SERVLET_MODULE = "com.corvane.zel.ntseclink.servlet";
    private static final String SPRING_MODULE = "com.corvane.zel.ntseclink.spring";
    private static final String REFUSAL = "ntseclink runs on 64-bit Windows; found os.name \"";
    private static final byte[] MADE_UP_DLL = "MZ made-up bytes in place of the DLL".getBytes(StandardCharsets.US_ASCII);
    private static final String USER = System.getProperty("user.name");
    private static final String EARLIER_COPY = PrivateDllCopy.COPY_PREFIX + "earlier";
    private static final String NOTES = "notes.txt";

    @Test
    @Tag(RELEASE)
    void theJarHoldsTheTestedClassesAndTheTestedDllAndNoOtherNativeFile() throws Exception {
        Map<String, byte[]> release = entries(releaseJar());
        Map<String, byte[]> tested = entries(ProbeJvm.codeSourceOf(SSPI.class));

        Map<String, byte[]> releaseClasses = under(release, PACKAGE_DIR);
        Map<String, byte[]> testedClasses = under(tested, PACKAGE_DIR);
        assertEquals(testedClasses.keySet(), releaseClasses.keySet());
        testedClasses.forEach((name, bytes) -> assertArrayEquals(bytes, releaseClasses.get(name), name));

        Set<String> rest = release.keySet().stream()
                .filter(name -> !name.startsWith(PACKAGE_DIR) && !name.startsWith("META-INF/") && !name.equals("module-info.class"))
                .collect(Collectors.toSet());
        assertEquals(Set.of(DLL_ENTRY, SHA256_ENTRY), rest);
        byte[] testedDll = Files.readAllBytes(testedDll());
        assertArrayEquals(testedDll, release.get(DLL_ENTRY), "the jar's DLL is not the one the Windows suite ran");
        assertEquals(sha256(testedDll) + "\n", new String(release.get(SHA256_ENTRY), StandardCharsets.US_ASCII));
    }

    @Test
    @Tag(RELEASE)
    void theJarIsAModuleWhoseVersionIsTheReleaseVersion() throws Exception {
        Matcher name = RELEASE_NAME.matcher(releaseJar().getFileName().toString());
        assertTrue(name.matches(), releaseJar().toString());
        String version = name.group(1);
        try (JarFile jar = new JarFile(releaseJar().toFile())) {
            Attributes manifest = jar.getManifest().getMainAttributes();
            assertEquals("ntseclink", manifest.getValue("Implementation-Title"));
            assertEquals(version, manifest.getValue("Implementation-Version"));
            assertEquals("Corvane, Inc.", manifest.getValue("Implementation-Vendor"));
            // java -jar on JDK 22 and later: no warning at the library's load.
            assertEquals("ALL-UNNAMED", manifest.getValue("Enable-Native-Access"));

            ModuleDescriptor module = ModuleDescriptor.read(jar.getInputStream(jar.getEntry("module-info.class")));
            assertEquals("com.corvane.zel.ntseclink", module.name());
            assertEquals(Set.of("com.corvane.zel.ntseclink", "com.corvane.zel.ntseclink.http"),
                    module.exports().stream().filter(e -> !e.isQualified()).map(ModuleDescriptor.Exports::source)
                            .collect(Collectors.toSet()));
            assertEquals(Map.of("com.corvane.zel.ntseclink.signon", Set.of(SERVLET_MODULE, SPRING_MODULE)),
                    module.exports().stream().filter(ModuleDescriptor.Exports::isQualified)
                            .collect(Collectors.toMap(ModuleDescriptor.Exports::source, ModuleDescriptor.Exports::targets)));
            assertEquals(version, module.rawVersion().orElse(""));
            assertEquals(Set.of("java.base", "jdk.httpserver static"),
                    module.requires().stream().map(r -> r.name()
                            + (r.modifiers().contains(ModuleDescriptor.Requires.Modifier.STATIC) ? " static" : ""))
                            .collect(Collectors.toSet()));
        }
    }

    @Test
    @Tag(RELEASE)
    void everyJarCarriesTheLicenseAndEveryPomNamesIt() throws Exception {
        String version = RELEASE_NAME.matcher(releaseJar().getFileName().toString()).replaceAll("$1");
        Set<String> licenses = new HashSet<>();
        for (String artifact : List.of("ntseclink", "ntseclink-servlet", "ntseclink-spring")) {
            for (String kind : List.of("", "-sources", "-javadoc")) {
                Path jar = releaseJar().resolveSibling(artifact + "-" + version + kind + ".jar");
                byte[] license = entries(jar).get("META-INF/LICENSE");
                assertTrue(license != null, "no META-INF/LICENSE in " + jar);
                licenses.add(new String(license, StandardCharsets.UTF_8));
            }
            String pom = Files.readString(releaseJar().resolveSibling(artifact + "-" + version + ".pom"));
            assertTrue(pom.contains("<name>Apache License, Version 2.0</name>"), pom);
            assertTrue(pom.contains("<description>"), pom);
        }
        assertEquals(1, licenses.size(), "the jars carry different licenses");
        assertTrue(licenses.iterator().next().contains("Apache License\n                           Version 2.0"));
    }

    @Test
    @Tag(RELEASE)
    void theJavadocJarsPublishTheApiAloneAndDocumentTheFiltersParameters() throws Exception {
        String version = RELEASE_NAME.matcher(releaseJar().getFileName().toString()).replaceAll("$1");
        Set<String> pages = entries(releaseJar().resolveSibling("ntseclink-" + version + "-javadoc.jar")).keySet();
        assertTrue(pages.stream().anyMatch(p -> p.endsWith("ntseclink/http/NegotiateAuthenticator.html")), pages.toString());
        assertEquals(List.of(), pages.stream().filter(p -> p.contains("/doctor/") || p.contains("/signon/")).toList());
        byte[] filterPage = entries(releaseJar().resolveSibling("ntseclink-servlet-" + version + "-javadoc.jar"))
                .get("com/corvane/zel/ntseclink/servlet/NegotiateFilter.html");
        assertTrue(filterPage != null, "no page of the filter");
        String filter = new String(filterPage, StandardCharsets.UTF_8);
        for (String parameter : List.of("roles", "sessions", "impersonate", "pendingTimeout", "pendingLimit",
                "web.xml")) {
            assertTrue(filter.contains(parameter), parameter);
        }
    }

    @Test
    @Tag(RELEASE)
    void theModuleLoadsWhereTheApplicationHasNoHttpServer() throws Exception {
        ProbeJvm probe = ProbeJvm.run(List.of(ProbeJvm.codeSourceOf(WithoutHttpServer.class)),
                List.of("--module-path", releaseJar().toString(), "--add-modules", "com.corvane.zel.ntseclink",
                        "--limit-modules", "com.corvane.zel.ntseclink"),
                WithoutHttpServer.class);
        assertEquals(0, probe.exitCode, probe.output);
        assertEquals("com.corvane.zel.ntseclink Negotiate AQ== httpserver=false", probe.output.strip());
    }

    @ParameterizedTest(name = "{0}")
    @Tag(RELEASE)
    @CsvSource({
        "ntseclink-servlet, " + SERVLET_MODULE + ", com/corvane/zel/ntseclink/servlet/NegotiateFilter.class",
        "ntseclink-spring,  " + SPRING_MODULE + ",  com/corvane/zel/ntseclink/spring/NegotiateConfigurer.class",
    })
    void eachSignOnJarHoldsItsTestedClassesAndIsListedBesideTheMainJar(String artifact, String module, String aClass)
            throws Exception {
        String version = RELEASE_NAME.matcher(releaseJar().getFileName().toString()).replaceAll("$1");
        Path releasedJar = releaseJar().resolveSibling(artifact + "-" + version + ".jar");
        Map<String, byte[]> release = entries(releasedJar);
        Map<String, byte[]> tested = under(entries(classesRootOf(aClass)), PACKAGE_DIR);
        release.keySet().removeIf(name -> name.startsWith("META-INF/"));
        assertEquals(tested.keySet(), release.keySet());
        tested.forEach((name, bytes) -> assertArrayEquals(bytes, release.get(name), name));
        try (JarFile jar = new JarFile(releasedJar.toFile())) {
            Attributes manifest = jar.getManifest().getMainAttributes();
            assertEquals(artifact, manifest.getValue("Implementation-Title"));
            assertEquals(version, manifest.getValue("Implementation-Version"));
            assertEquals(module, manifest.getValue("Automatic-Module-Name"));
        }
        List<String> sums = Files.readAllLines(releaseJar().resolveSibling("SHA256SUMS"));
        for (String kind : List.of(".jar", ".pom", "-sources.jar", "-javadoc.jar")) {
            String name = artifact + "-" + version + kind;
            String line = sha256(Files.readAllBytes(releaseJar().resolveSibling(name))) + "  " + name;
            assertTrue(sums.contains(line), line + " in " + sums);
        }
    }

    /**
     * The jar or directory on the class path that holds a class file, found
     * without loading the class: the Spring jar's classes need Spring, which
     * this suite leaves out.
     */
    private static Path classesRootOf(String classFile) throws URISyntaxException {
        URL url = ClassLoader.getSystemResource(classFile);
        assertTrue(url != null, classFile + " is not on the class path");
        String location = url.toString();
        if (location.startsWith("jar:")) {
            return Paths.get(URI.create(location.substring("jar:".length(), location.indexOf("!/"))));
        }
        Path root = Paths.get(url.toURI());
        for (int i = 0; i < Paths.get(classFile).getNameCount(); i++) {
            root = root.getParent();
        }
        return root;
    }

    @Test
    @Tag(RELEASE)
    void offWindowsTheReleaseJarRefusesWithTheOsAndArchitectureFound(@TempDir Path tmpdir) throws Exception {
        ProbeJvm probe = ProbeJvm.run(List.of(releaseJar(), ProbeJvm.codeSourceOf(ReleaseJarTest.class)),
                List.of("-Djava.io.tmpdir=" + tmpdir), ReleaseJarTest.class);
        assertNotEquals(0, probe.exitCode, probe.output);
        assertTrue(probe.output.contains("java.lang.UnsatisfiedLinkError: " + REFUSAL + System.getProperty("os.name")
                + "\", os.arch \"" + System.getProperty("os.arch") + "\""), probe.output);
        assertTrue(probe.output.contains("-D" + NativeLibraryLoader.LIBRARY_PATH_PROPERTY + "=FILE"), probe.output);
        try (Stream<Path> left = Files.list(tmpdir)) {
            assertEquals(List.of(), left.toList(), "nothing is copied off Windows");
        }
    }

    @ParameterizedTest
    @Tag(RELEASE)
    @CsvSource(delimiter = '|', value = {
        "none    | 2 | ntseclink doctor needs 64-bit Windows, or a native library named with"
            + " -Dntseclink.library.path=FILE",
        "built   | 0 | ntseclink doctor VERSION on the simulated Windows machine (opted in with"
            + " -Dntseclink.library.path=LIBRARY)",
        "missing | 2 | ntseclink doctor: the native library named with -Dntseclink.library.path=LIBRARY does not"
            + " exist (LIBRARY).",
    })
    void theJarsCommandIsTheDoctorWhichRunsOnlyWhereTheLibraryLoads(String library, int exitCode,
            String firstLine, @TempDir Path tmpdir) throws Exception {
        Matcher name = RELEASE_NAME.matcher(releaseJar().getFileName().toString());
        assertTrue(name.matches(), releaseJar().toString());
        List<String> options = new ArrayList<>(List.of("-Djava.io.tmpdir=" + tmpdir));
        String file = library.equals("missing") ? tmpdir.resolve("missing.so").toString()
                : System.getProperty(NativeLibraryLoader.LIBRARY_PATH_PROPERTY);
        if (!library.equals("none")) {
            options.add("-D" + NativeLibraryLoader.LIBRARY_PATH_PROPERTY + "=" + file);
        }
        ProbeJvm probe = ProbeJvm.runJar(releaseJar(), options, List.of("doctor"));
        assertEquals(exitCode, probe.exitCode, probe.output);
        assertTrue(probe.output.startsWith(firstLine.replace("VERSION", name.group(1)).replace("LIBRARY", file)),
                probe.output);
    }

    /** Uses a native through the release jar, with no library path. */
    public static void main(String[] args) {
        System.out.println("computer " + WinUtil.GetComputerNameNetBIOS());
    }

    @ParameterizedTest
    @CsvSource({
        "Windows 11, amd64, true",
        "Windows Server 2022, amd64, true",
        "Windows 10, x86_64, true",
        "Windows 10, x86, false",
        "Windows 11, aarch64, false",
        "Linux, amd64, false",
        "Mac OS X, aarch64, false",
        "FreeBSD, amd64, false",
    })
    void onlySixtyFourBitWindowsIsAccepted(String os, String arch, boolean accepted) {
        Properties system = platform(os, arch, Paths.get("unused"));
        if (accepted) {
            assertDoesNotThrow(() -> NativeLibraryLoader.requireWindows64(system));
        } else {
            UnsatisfiedLinkError error =
                    assertThrows(UnsatisfiedLinkError.class, () -> NativeLibraryLoader.requireWindows64(system));
            assertTrue(error.getMessage().startsWith(REFUSAL + os + "\", os.arch \"" + arch + "\""), error.getMessage());
        }
    }

    @Test
    void onWindowsEachStartCopiesTheDllIntoAFreshPrivateFolderAndRemovesEarlierCopies(@TempDir Path tmpdir)
            throws Exception {
        Properties windows = platform("Windows Server 2022", "amd64", tmpdir);
        Properties unusualName = platform("Windows Server 2022", "amd64", tmpdir);
        unusualName.setProperty("user.name", "svc tarnwell$");
        assertEquals(tmpdir.resolve("ntseclink-svc_tarnwell_"), NativeLibraryLoader.copiesFolder(unusualName));
        Path folder = NativeLibraryLoader.copiesFolder(windows);

        Path firstDirectory;
        try (PrivateDllCopy first = NativeLibraryLoader.copyJarDll(windows, madeUpJar())) {
            firstDirectory = first.file().getParent();
            assertEquals(folder, firstDirectory.getParent());
            assertArrayEquals(MADE_UP_DLL, Files.readAllBytes(first.file()));
            assertEquals("rwx------", permissions(folder));
            assertEquals("rwx------", permissions(firstDirectory));
            try (PrivateDllCopy second = NativeLibraryLoader.copyJarDll(windows, madeUpJar())) {
                assertNotEquals(firstDirectory, second.file().getParent());
                assertTrue(Files.isRegularFile(first.file()), "a copy still held by its start was removed");
            }
        }
        try (PrivateDllCopy third = NativeLibraryLoader.copyJarDll(windows, madeUpJar());
                Stream<Path> copies = Files.list(folder)) {
            assertEquals(List.of(third.file().getParent()), copies.toList(), "earlier copies were left behind");
        }
    }

    /** Puts something in or at a copies folder before a start, with a folder of the user's outside it. */
    interface Planting {
        void plant(Path folder, Path outside) throws IOException;
    }

    static Stream<Arguments> copiesFoldersNotTheUsersAlone() throws IOException {
        return Stream.of(
                arguments("its group can write", USER,
                        (Planting) (folder, outside) -> folderWithACopy(folder, "rwxrwx---")),
                arguments("others can write", USER,
                        (Planting) (folder, outside) -> folderWithACopy(folder, "rwx----w-")),
                // The test's account makes the folder for a start as another: the owner is not the start's user.
                arguments("another account owns it", anotherAccount(),
                        (Planting) (folder, outside) -> folderWithACopy(folder, "rwx------")),
                arguments("it is a link to a folder of the user", USER, (Planting) (folder, outside) ->
                        Files.createSymbolicLink(folder, folderWithACopy(outside, "rwx------"))));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("copiesFoldersNotTheUsersAlone")
    void onWindowsACopiesFolderNotTheUsersAloneIsLeftAsItIsAndAFreshOneMade(String how, String user, Planting planting,
            @TempDir Path tmpdir) throws Exception {
        Properties windows = platform("Windows 11", "amd64", tmpdir);
        windows.setProperty("user.name", user);
        Path named = NativeLibraryLoader.copiesFolder(windows);
        planting.plant(named, tmpdir.resolve("outside"));

        try (PrivateDllCopy copy = NativeLibraryLoader.copyJarDll(windows, madeUpJar())) {
            Path fresh = copy.file().getParent().getParent();
            assertEquals(tmpdir, fresh.getParent());
            assertTrue(fresh.getFileName().toString().startsWith(named.getFileName() + "-"), fresh.toString());
            assertEquals("rwx------", permissions(fresh));
            assertArrayEquals(MADE_UP_DLL, Files.readAllBytes(copy.file()));
        }
        assertTrue(Files.isRegularFile(named.resolve(EARLIER_COPY).resolve(NativeLibraryLoader.DLL_NAME)),
                "the start removed copies from a folder that is not the user's alone");
    }

    @Test
    void onWindowsTheFolderMadeInPlaceOfOneOthersCanWriteServesTheNextStartsToo(@TempDir Path tmpdir) throws Exception {
        Properties windows = platform("Windows 11", "amd64", tmpdir);
        folderWithACopy(NativeLibraryLoader.copiesFolder(windows), "rwxrwxrwx");
        Path first;
        try (PrivateDllCopy copy = NativeLibraryLoader.copyJarDll(windows, madeUpJar())) {
            first = copy.file();
        }
        try (PrivateDllCopy copy = NativeLibraryLoader.copyJarDll(windows, madeUpJar())) {
            assertEquals(first.getParent().getParent(), copy.file().getParent().getParent());
            assertFalse(Files.exists(first.getParent()), "the earlier copy was left behind");
        }
    }

    // Entries "PRINCIPAL TYPE PERMISSIONS [FLAGS]"; the user is alice. Windows file stores decide by this list.
    @ParameterizedTest(name = "{0}")
    @CsvSource(delimiter = '|', value = {
        "the user alone                         | alice ALLOW all DIRECTORY_INHERIT,FILE_INHERIT            | true",
        "and the machine's administrators       | alice ALLOW all; SYSTEM ALLOW all; Administrators ALLOW all | true",
        "others may read                        | alice ALLOW all; Users ALLOW READ_DATA,READ_ACL,EXECUTE    | true",
        "others are denied writing              | alice ALLOW all; Everyone DENY WRITE_DATA,APPEND_DATA      | true",
        "others may add files                   | alice ALLOW all; Users ALLOW WRITE_DATA,APPEND_DATA        | false",
        "others may add files to what it holds  | alice ALLOW all; Users ALLOW WRITE_DATA INHERIT_ONLY,FILE_INHERIT | false",
        "another may delete its entries         | alice ALLOW all; bob ALLOW DELETE_CHILD                    | false",
        "another may change its list            | alice ALLOW all; bob ALLOW WRITE_ACL                       | false",
        "another may take it over               | alice ALLOW all; bob ALLOW WRITE_OWNER                     | false",
        "the user has no entry                  | bob ALLOW READ_DATA                                        | false",
        "no entry, as Java shows a missing list | ''                                                         | false",
    })
    void onWindowsAFolderIsTheUsersAloneOnlyWhenItsAclLetsNoOtherPrincipalWrite(String acl, String entries,
            boolean usersAlone) {
        Map<String, UserPrincipal> principals = new TreeMap<>();
        Set<UserPrincipal> machineAdministrators = OwnerOnlyAccess.MACHINE_ADMINISTRATORS.stream()
                .map(name -> principals.computeIfAbsent(name, ReleaseJarTest::principal)).collect(Collectors.toSet());
        assertEquals(usersAlone, OwnerOnlyAccess.isOwnerOnly(aclOf(entries, principals),
                principals.computeIfAbsent("alice", ReleaseJarTest::principal), machineAdministrators));
    }

    static Stream<Arguments> linksPlantedInTheCopiesFolder() {
        return Stream.of(
                arguments("a link to a file outside, named like an earlier copy", (Planting) (folder, outside) ->
                        Files.createSymbolicLink(folder.resolve(EARLIER_COPY), outside.resolve(NOTES))),
                arguments("a link to a folder outside, named like an earlier copy", (Planting) (folder, outside) ->
                        Files.createSymbolicLink(folder.resolve(EARLIER_COPY), outside)),
                arguments("an earlier copy whose library is a link to a file outside", (Planting) (folder, outside) ->
                        earlierCopyLinking(folder, NativeLibraryLoader.DLL_NAME, outside)),
                arguments("an earlier copy whose lock is a link to a file outside", (Planting) (folder, outside) ->
                        earlierCopyLinking(folder, PrivateDllCopy.LOCK_NAME, outside)));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("linksPlantedInTheCopiesFolder")
    void onWindowsTheRemovalOfEarlierCopiesFollowsNoLink(String planted, Planting planting, @TempDir Path tmpdir)
            throws Exception {
        Properties windows = platform("Windows 11", "amd64", tmpdir);
        // Outside the folder, files of the user that look like a copy's.
        Path outside = Files.createDirectory(tmpdir.resolve("outside"));
        List<String> outsideFiles = List.of(NOTES, PrivateDllCopy.LOCK_NAME, NativeLibraryLoader.DLL_NAME);
        for (String name : outsideFiles) {
            Files.writeString(outside.resolve(name), "the user's " + name);
        }
        Path earlier;
        try (PrivateDllCopy copy = NativeLibraryLoader.copyJarDll(windows, madeUpJar())) {
            earlier = copy.file().getParent();
        }
        planting.plant(earlier.getParent(), outside);

        try (PrivateDllCopy copy = NativeLibraryLoader.copyJarDll(windows, madeUpJar())) {
            assertEquals(earlier.getParent(), copy.file().getParent().getParent());
            assertFalse(Files.exists(earlier), "the earlier copy was left behind");
        }
        for (String name : outsideFiles) {
            assertEquals("the user's " + name, Files.readString(outside.resolve(name)), name + " outside the folder");
        }
    }

    @ParameterizedTest(name = "recorded: {0}")
    @CsvSource(delimiter = '|', nullValues = "none", value = {
        "0000000000000000000000000000000000000000000000000000000000000000 | the copy %s has SHA-256 %s, not the expected"
            + " 0000000000000000000000000000000000000000000000000000000000000000",
        "not a SHA-256 | the jar's /native/windows-x86_64/ntseclink.dll.sha256 holds no SHA-256",
        "none          | the jar records no SHA-256 of the DLL (/native/windows-x86_64/ntseclink.dll.sha256)",
    })
    void onWindowsADllThatDiffersFromTheJarsRecordIsRefusedAndNoCopyLeft(String recorded, String reason,
            @TempDir Path tmpdir) throws Exception {
        Properties windows = platform("Windows 11", "amd64", tmpdir);
        UnsatisfiedLinkError error = assertThrows(UnsatisfiedLinkError.class,
                () -> NativeLibraryLoader.copyJarDll(windows, madeUpJar(recorded)));
        // %s in the reason stands for any text: the copy's path, the SHA-256 found.
        Pattern expected = Pattern.compile(Pattern.quote(reason).replace("%s", "\\E.+\\Q"));
        assertTrue(expected.matcher(error.getMessage()).find(), error.getMessage());
        try (Stream<Path> left = Files.walk(tmpdir)) {
            assertEquals(List.of(), left.filter(path -> !Files.isDirectory(path, LinkOption.NOFOLLOW_LINKS)
                    || path.getFileName().toString().startsWith(PrivateDllCopy.COPY_PREFIX)).toList(),
                    "a copy was left behind");
        }
    }

    @Test
    @Tag(RELEASE)
    void aCopyThatDiffersFromTheRecordedSha256IsRefusedAndRemoved(@TempDir Path tmpdir) throws Exception {
        Properties windows = platform("Windows 11", "amd64", tmpdir);
        Map<String, byte[]> release = entries(releaseJar());
        byte[] altered = release.get(DLL_ENTRY).clone();
        altered[altered.length / 2] ^= 1;
        NativeLibraryLoader.JarResources tampered = name -> new ByteArrayInputStream(
                name.equals(NativeLibraryLoader.DLL_RESOURCE) ? altered : release.get(name.substring(1)));

        UnsatisfiedLinkError error =
                assertThrows(UnsatisfiedLinkError.class, () -> NativeLibraryLoader.copyJarDll(windows, tampered));
        assertTrue(error.getMessage().contains("not the expected " + sha256(release.get(DLL_ENTRY))),
                error.getMessage());
        try (Stream<Path> copies = Files.list(NativeLibraryLoader.copiesFolder(windows))) {
            assertEquals(List.of(), copies.toList(), "the refused copy was left behind");
        }
    }

    @Test
    void onWindowsAJarWithoutTheDllNamesTheWaysToLoadOne(@TempDir Path tmpdir) {
        // The classes this test runs with are the Linux build's, which carry no DLL.
        UnsatisfiedLinkError error = assertThrows(UnsatisfiedLinkError.class, () -> NativeLibraryLoader.copyJarDll(
                platform("Windows 11", "amd64", tmpdir), NativeLibraryLoader.class::getResourceAsStream));
        assertTrue(error.getMessage().contains("carries no ntseclink.dll"), error.getMessage());
        assertTrue(error.getMessage().endsWith(
                "(ntseclink.library.path not set; os.name \"Windows 11\", os.arch \"amd64\")"), error.getMessage());
    }

    private static Properties platform(String os, String arch, Path tmpdir) {
        Properties system = new Properties();
        system.setProperty("os.name", os);
        system.setProperty("os.arch", arch);
        system.setProperty("java.io.tmpdir", tmpdir.toString());
        system.setProperty("user.name", USER);
        return system;
    }

    /** A jar carrying made-up bytes as its DLL, and their SHA-256 as its record. */
    private static NativeLibraryLoader.JarResources madeUpJar() throws Exception {
        return madeUpJar(sha256(MADE_UP_DLL));
    }

    /** A jar carrying made-up bytes as its DLL, and {@code recorded} as its record of their SHA-256 (none if null). */
    private static NativeLibraryLoader.JarResources madeUpJar(String recorded) {
        Map<String, byte[]> resources = new TreeMap<>();
        resources.put(NativeLibraryLoader.DLL_RESOURCE, MADE_UP_DLL);
        if (recorded != null) {
            resources.put(NativeLibraryLoader.DLL_SHA256_RESOURCE, (recorded + "\n").getBytes(StandardCharsets.US_ASCII));
        }
        return name -> resources.containsKey(name) ? new ByteArrayInputStream(resources.get(name)) : null;
    }

    /** Makes {@code folder} with these permissions, holding an earlier start's copy. */
    private static Path folderWithACopy(Path folder, String permissions) throws IOException {
        earlierCopy(Files.createDirectories(folder));
        Files.setPosixFilePermissions(folder, PosixFilePermissions.fromString(permissions));
        return folder;
    }

    /** Makes an earlier copy in {@code folder} whose file {@code name} is a link to the same name in {@code outside}. */
    private static void earlierCopyLinking(Path folder, String name, Path outside) throws IOException {
        Path copy = earlierCopy(folder);
        Files.delete(copy.resolve(name));
        Files.createSymbolicLink(copy.resolve(name), outside.resolve(name));
    }

    /** Makes a copy in {@code folder} as an earlier start leaves it: its lock and its library. */
    private static Path earlierCopy(Path folder) throws IOException {
        Path copy = Files.createDirectory(folder.resolve(EARLIER_COPY));
        Files.writeString(copy.resolve(PrivateDllCopy.LOCK_NAME), "");
        Files.write(copy.resolve(NativeLibraryLoader.DLL_NAME), MADE_UP_DLL);
        return copy;
    }

    /** The entries "PRINCIPAL TYPE PERMISSIONS [FLAGS]" separated by ";", PERMISSIONS "all" or a list. */
    private static List<AclEntry> aclOf(String entries, Map<String, UserPrincipal> principals) {
        List<AclEntry> acl = new ArrayList<>();
        for (String entry : entries.split(";")) {
            if (entry.isBlank()) {
                continue;
            }
            String[] fields = entry.strip().split(" +");
            AclEntry.Builder builder = AclEntry.newBuilder()
                    .setPrincipal(principals.computeIfAbsent(fields[0], ReleaseJarTest::principal))
                    .setType(AclEntryType.valueOf(fields[1]))
                    .setPermissions(fields[2].equals("all") ? EnumSet.allOf(AclEntryPermission.class)
                            : Stream.of(fields[2].split(",")).map(AclEntryPermission::valueOf).collect(Collectors.toSet()));
            if (fields.length > 3) {
                builder.setFlags(Stream.of(fields[3].split(",")).map(AclEntryFlag::valueOf).collect(Collectors.toSet()));
            }
            acl.add(builder.build());
        }
        return acl;
    }

    /** A principal of this name, equal to no other. */
    private static UserPrincipal principal(String name) {
        return () -> name;
    }

    /** An account of this machine other than the one the tests run as. */
    private static String anotherAccount() throws IOException {
        UserPrincipalLookupService accounts = FileSystems.getDefault().getUserPrincipalLookupService();
        for (String name : List.of("nobody", "daemon", "root")) {
            try {
                if (!name.equals(USER)) {
                    accounts.lookupPrincipalByName(name);
                    return name;
                }
            } catch (UserPrincipalNotFoundException missing) {
                // Try the next.
            }
        }
        throw new IllegalStateException("no account but " + USER + " on this machine");
    }

    private static Path releaseJar() {
        return builtFile("ntseclink.test.releaseJar");
    }

    private static Path testedDll() {
        return builtFile("ntseclink.test.testedDll");
    }

    private static Path builtFile(String property) {
        Path file = Paths.get(System.getProperty(property, ""));
        assertTrue(Files.isRegularFile(file), "no file at \"" + file + "\" (-D" + property
                + "): the Windows build makes it, scripts/build-windows.sh");
        return file;
    }

    private static Map<String, byte[]> entries(Path jarFile) throws IOException {
        Map<String, byte[]> entries = new TreeMap<>();
        try (JarFile jar = new JarFile(jarFile.toFile())) {
            for (JarEntry entry : jar.stream().filter(e -> !e.isDirectory()).toList()) {
                entries.put(entry.getName(), jar.getInputStream(entry).readAllBytes());
            }
        }
        return entries;
    }

    private static Map<String, byte[]> under(Map<String, byte[]> entries, String directory) {
        Map<String, byte[]> selected = new TreeMap<>(entries);
        selected.keySet().removeIf(name -> !name.startsWith(directory));
        return selected;
    }


    private static String permissions(Path path) throws IOException {
        return PosixFilePermissions.toString(Files.getPosixFilePermissions(path));
    }

    private static String sha256(byte[] bytes) throws Exception {
        return HexFormat.of().formatHex(MessageDigest.getInstance("SHA-256").digest(bytes));
    }
}
