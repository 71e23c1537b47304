package com.corvane.zel.ntseclink;

import java.io.IOException;
import java.io.InputStream;
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.channels.OverlappingFileLockException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.EnumSet;
import java.util.HexFormat;
import java.util.List;
import java.util.Set;

/**
 * A library file copied out for loading: the jar's DLL, or a copy of the
 * file the library path property names for a class loader after the first.
 * Each start writes it into a fresh directory that only the current user can
 * write, checks the copy against the expected SHA-256 (the one recorded in
 * the jar), and removes the copies that earlier starts left in the same
 * folder. Windows cannot delete a DLL that a process has loaded, so each copy
 * stays until a later start; one still being written or loaded is held by a
 * lock that the removal respects, and a copy still loaded by a running
 * process simply fails to go.
 */
final class PrivateDllCopy implements AutoCloseable {
    static final String COPY_PREFIX = "copy-";
    static final String LOCK_NAME = "lock";

    private final Path file;
    private final FileChannel lock;

    private PrivateDllCopy(Path file, FileChannel lock) {
        this.file = file;
        this.lock = lock;
    }

    /**
     * Copies {@code library} into a fresh private directory of
     * {@code folder} (made private too when missing), as {@code fileName},
     * and checks it.
     *
     * @param user the account that alone may write the copy, where the file system has access control lists
     * @throws IOException when the copy cannot be made, or does not match {@code expectedSha256}; nothing is left then
     */
    static PrivateDllCopy create(Path folder, String fileName, InputStream library, String expectedSha256, String user)
            throws IOException {
        FileAttribute<?> ownerOnly = ownerOnly(folder, user);
        ensurePrivateFolder(folder, ownerOnly);
        removeEarlierCopies(folder);
        Path directory = Files.createTempDirectory(folder, COPY_PREFIX, ownerOnly);
        FileChannel lock = null;
        try {
            lock = FileChannel.open(directory.resolve(LOCK_NAME), StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE);
            lock.lock();
            Path file = directory.resolve(fileName);
            Files.copy(library, file);
            String found = sha256(file);
            if (!found.equals(expectedSha256)) {
                throw new IOException("the copy " + file + " has SHA-256 " + found + ", not the expected " + expectedSha256);
            }
            return new PrivateDllCopy(file, lock);
        } catch (IOException | RuntimeException e) {
            if (lock != null) {
                lock.close();
            }
            removeCopy(directory);
            throw e;
        }
    }

    /** The copied DLL. */
    Path file() {
        return file;
    }

    /**
     * Releases the lock: from now on a later start may remove the copy, which
     * Windows refuses while the DLL is loaded.
     */
    @Override
    public void close() {
        try {
            lock.close();
        } catch (IOException e) {
            // The lock goes with the process at the latest.
        }
    }

    /** Permissions for the current user alone: POSIX where the file system has them, else an ACL. */
    static FileAttribute<?> ownerOnly(Path folder, String user) throws IOException {
        Set<String> views = folder.getFileSystem().supportedFileAttributeViews();
        if (views.contains("posix")) {
            return PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"));
        }
        if (views.contains("acl")) {
            return ownerOnlyAcl(folder.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByName(user));
        }
        throw new IOException("the file system of " + folder + " has neither POSIX permissions nor ACLs");
    }

    /** One entry: everything for {@code user}, inherited by what the directory will hold. */
    static FileAttribute<List<AclEntry>> ownerOnlyAcl(UserPrincipal user) {
        List<AclEntry> acl = List.of(AclEntry.newBuilder()
                .setType(AclEntryType.ALLOW)
                .setPrincipal(user)
                .setPermissions(EnumSet.allOf(AclEntryPermission.class))
                .setFlags(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT)
                .build());
        return new FileAttribute<>() {
            @Override
            public String name() {
                return "acl:acl";
            }

            @Override
            public List<AclEntry> value() {
                return acl;
            }
        };
    }

    /** Makes the folder when missing; refuses a link or anything but a plain directory in its place. */
    private static void ensurePrivateFolder(Path folder, FileAttribute<?> ownerOnly) throws IOException {
        if (Files.notExists(folder, LinkOption.NOFOLLOW_LINKS)) {
            Files.createDirectories(folder.getParent());
            try {
                Files.createDirectory(folder, ownerOnly);
            } catch (FileAlreadyExistsException e) {
                // Another start made it first.
            }
        }
        BasicFileAttributes attributes = Files.readAttributes(folder, BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
        if (!attributes.isDirectory() || attributes.isSymbolicLink() || attributes.isOther()) {
            throw new IOException(folder + " is not a plain directory");
        }
    }

    /** Removes the copies of earlier starts that no start holds any more; what cannot go stays, silently. */
    static void removeEarlierCopies(Path folder) {
        try (DirectoryStream<Path> copies = Files.newDirectoryStream(folder, COPY_PREFIX + "*")) {
            for (Path copy : copies) {
                removeUnlessHeld(copy);
            }
        } catch (IOException e) {
            // Nothing to remove now; a later start tries again.
        }
    }

    /**
     * Removes a copy whose lock no start holds. A directory without a lock
     * file may be a start's that has not made it yet, and is left alone.
     */
    private static void removeUnlessHeld(Path directory) {
        try (FileChannel channel = FileChannel.open(directory.resolve(LOCK_NAME), StandardOpenOption.WRITE);
                FileLock held = channel.tryLock()) {
            if (held == null) {
                return;
            }
            // A DLL that a running process has loaded cannot be deleted: it goes at a later start.
            deleteLibraries(directory);
        } catch (IOException | OverlappingFileLockException e) {
            return;
        }
        removeCopy(directory);
    }

    /** Deletes a copy's files and its directory, as far as the system lets it. */
    private static void removeCopy(Path directory) {
        try {
            deleteLibraries(directory);
            Files.deleteIfExists(directory.resolve(LOCK_NAME));
            Files.deleteIfExists(directory);
        } catch (IOException e) {
            // Left for a later start.
        }
    }

    /** Deletes the files of a copy's directory but its lock. */
    private static void deleteLibraries(Path directory) throws IOException {
        try (DirectoryStream<Path> files = Files.newDirectoryStream(directory, file -> !file.endsWith(LOCK_NAME))) {
            for (Path file : files) {
                Files.deleteIfExists(file);
            }
        }
    }

    static String sha256(Path file) throws IOException {
        try {
            return HexFormat.of().formatHex(MessageDigest.getInstance("SHA-256").digest(Files.readAllBytes(file)));
        } catch (NoSuchAlgorithmException e) {
            throw new IOException("this JVM offers no SHA-256", e);
        }
    }
}
