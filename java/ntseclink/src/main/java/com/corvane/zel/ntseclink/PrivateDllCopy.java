package com.corvane.zel.ntseclink;

import java.io.IOException;
import java.io.InputStream;
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.channels.OverlappingFileLockException;
import java.nio.file.DirectoryIteratorException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.BasicFileAttributes;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.HexFormat;
import java.util.Optional;

/**
 * A library file copied out for loading: the jar's DLL, or a copy of the
 * file the library path property names for a class loader after the first.
 * Each start writes it into a fresh directory that only the current user can
 * write, in the user's folder of copies, checks the copy against the expected
 * SHA-256 (the one recorded in the jar), and removes the copies that earlier
 * starts left in the same folder. The folder is used only when the user owns
 * it and no other account can write it: in a temporary folder that all
 * accounts share, another may have made it first, to swap the copy between
 * its check and its load or to plant links for the removal to follow. Windows
 * cannot delete a DLL that a process has loaded, so each copy stays until a
 * later start; one still being written or loaded is held by a lock that the
 * removal respects, and a copy still loaded by a running process simply fails
 * to go.
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
     * Copies {@code library} into a fresh private directory of the folder
     * {@code folder} names, as {@code fileName}, and checks it.
     *
     * @param folder the user's folder of copies; made when missing, and replaced by a new one of the user's when it
     *     is not the user's alone
     * @param user the account that alone may write the copy
     * @throws IOException when the copy cannot be made, or does not match {@code expectedSha256}; nothing is left then
     */
    static PrivateDllCopy create(Path folder, String fileName, InputStream library, String expectedSha256, String user)
            throws IOException {
        Files.createDirectories(folder.getParent());
        OwnerOnlyAccess access = OwnerOnlyAccess.in(folder.getParent(), user);
        Path copies = privateFolder(folder, access);
        removeEarlierCopies(copies);
        // The copy is checked as written and loaded by the same path, in a
        // directory made private from the start within a folder no other
        // account can write: nobody else can replace it between the two.
        Path directory = access.createTempDirectory(copies, COPY_PREFIX);
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

    /**
     * The folder for the user's copies: {@code named} when this start makes
     * it or finds it private to the user; else one that an earlier start
     * made in its place and is still private; else a new one.
     */
    private static Path privateFolder(Path named, OwnerOnlyAccess access) throws IOException {
        try {
            return access.createDirectory(named);
        } catch (FileAlreadyExistsException e) {
            // An earlier start's, or another account's.
        }
        if (access.isPrivate(named)) {
            return named;
        }
        String prefix = named.getFileName() + "-";
        Optional<Path> earlier = earlierReplacement(named.getParent(), prefix, access);
        return earlier.isPresent() ? earlier.get() : access.createTempDirectory(named.getParent(), prefix);
    }

    private static Optional<Path> earlierReplacement(Path parent, String prefix, OwnerOnlyAccess access) {
        try (DirectoryStream<Path> candidates =
                Files.newDirectoryStream(parent, entry -> entry.getFileName().toString().startsWith(prefix))) {
            for (Path candidate : candidates) {
                if (access.isPrivate(candidate)) {
                    return Optional.of(candidate);
                }
            }
        } catch (IOException | DirectoryIteratorException e) {
            // None to reuse: a new one is made.
        }
        return Optional.empty();
    }

    /**
     * Removes the copies of earlier starts that no start holds any more;
     * what cannot go stays, silently. Only directories themselves are
     * entered, and only plain files deleted: no link or junction is followed.
     * What is checked is still what is deleted, as only the user's own starts
     * can change the folder.
     */
    static void removeEarlierCopies(Path folder) {
        try (DirectoryStream<Path> copies = Files.newDirectoryStream(folder, COPY_PREFIX + "*")) {
            for (Path copy : copies) {
                if (OwnerOnlyAccess.isRealDirectory(copy)) {
                    removeUnlessHeld(copy);
                }
            }
        } catch (IOException | DirectoryIteratorException e) {
            // Nothing to remove now; a later start tries again.
        }
    }

    /**
     * Removes a copy whose lock no start holds. A directory without a lock
     * file may be a start's that has not made it yet, and is left alone.
     */
    private static void removeUnlessHeld(Path directory) {
        try (FileChannel channel = FileChannel.open(directory.resolve(LOCK_NAME), StandardOpenOption.WRITE,
                LinkOption.NOFOLLOW_LINKS);
                FileLock held = channel.tryLock()) {
            if (held == null) {
                return;
            }
            // A DLL that a running process has loaded cannot be deleted: it goes at a later start.
            deleteLibraries(directory);
        } catch (IOException | OverlappingFileLockException | DirectoryIteratorException e) {
            return;
        }
        removeCopy(directory);
    }

    /** Deletes a copy's files and its directory, as far as the system lets it. */
    private static void removeCopy(Path directory) {
        try {
            deleteLibraries(directory);
            deleteIfPlainFile(directory.resolve(LOCK_NAME));
            Files.deleteIfExists(directory);
        } catch (IOException | DirectoryIteratorException e) {
            // Left for a later start.
        }
    }

    /** Deletes the plain files of a copy's directory but its lock; anything else in it stays. */
    private static void deleteLibraries(Path directory) throws IOException {
        try (DirectoryStream<Path> files = Files.newDirectoryStream(directory, file -> !file.endsWith(LOCK_NAME))) {
            for (Path file : files) {
                deleteIfPlainFile(file);
            }
        }
    }

    private static void deleteIfPlainFile(Path file) throws IOException {
        if (Files.readAttributes(file, BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS).isRegularFile()) {
            Files.delete(file);
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
