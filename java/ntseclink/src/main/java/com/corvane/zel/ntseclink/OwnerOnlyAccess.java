package com.corvane.zel.ntseclink;

import java.io.IOException;
import java.nio.file.FileStore;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.nio.file.attribute.UserPrincipalNotFoundException;
import java.util.Collections;
import java.util.EnumSet;
import java.util.HashSet;
import java.util.List;
import java.util.Set;

/**
 * Directories that one account alone can write, and owns: by POSIX
 * permissions, or by an access control list where the file store has those
 * instead (Windows). Which one is decided by the views the file store
 * supports, not by the name of the operating system.
 */
abstract class OwnerOnlyAccess {
    /** What lets a principal change a directory's entries or its protection. */
    private static final Set<AclEntryPermission> WRITING = EnumSet.of(AclEntryPermission.WRITE_DATA,
            AclEntryPermission.APPEND_DATA, AclEntryPermission.DELETE_CHILD, AclEntryPermission.DELETE,
            AclEntryPermission.WRITE_ACL, AclEntryPermission.WRITE_OWNER, AclEntryPermission.WRITE_ATTRIBUTES,
            AclEntryPermission.WRITE_NAMED_ATTRS);

    /** The account that alone may write, and owns, the directories. */
    final UserPrincipal user;

    private OwnerOnlyAccess(UserPrincipal user) {
        this.user = user;
    }

    /**
     * The access for the account {@code userName} to directories in {@code parent}.
     *
     * @throws IOException when the file store of {@code parent} has neither POSIX permissions nor access control
     *     lists, or knows no account of that name
     */
    static OwnerOnlyAccess in(Path parent, String userName) throws IOException {
        FileStore store = Files.getFileStore(parent);
        if (store.supportsFileAttributeView(PosixFileAttributeView.class)) {
            return new Posix(account(parent, userName));
        }
        if (store.supportsFileAttributeView(AclFileAttributeView.class)) {
            return new Acl(account(parent, userName), machineAdministrators(parent));
        }
        throw new IOException("the file system of " + parent + " has neither POSIX permissions nor ACLs");
    }

    private static Set<UserPrincipal> machineAdministrators(Path parent) {
        Set<UserPrincipal> found = new HashSet<>();
        for (String name : MACHINE_ADMINISTRATORS) {
            try {
                found.add(parent.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByName(name));
            } catch (IOException unknown) {
                // Named otherwise on this system: not trusted.
            }
        }
        return found;
    }

    private static UserPrincipal account(Path parent, String userName) throws IOException {
        try {
            return parent.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByName(userName);
        } catch (UserPrincipalNotFoundException e) {
            throw new IOException("the system knows no account \"" + userName + "\" to make the copies private to", e);
        }
    }

    /**
     * Makes {@code directory}, which no other account can write from then on.
     *
     * @throws java.nio.file.FileAlreadyExistsException when its name is taken
     */
    abstract Path createDirectory(Path directory) throws IOException;

    /** Makes a directory of a new name that begins with {@code prefix} in {@code parent}, as {@link #createDirectory}. */
    abstract Path createTempDirectory(Path parent, String prefix) throws IOException;

    /**
     * Whether {@code directory} is a directory itself (neither a link nor a
     * junction) that the account owns and no other account can write. One
     * that cannot be examined, such as another account's, is not.
     */
    boolean isPrivate(Path directory) {
        try {
            return isRealDirectory(directory) && user.equals(Files.getOwner(directory, LinkOption.NOFOLLOW_LINKS))
                    && othersCannotWrite(directory);
        } catch (IOException e) {
            return false;
        }
    }

    abstract boolean othersCannotWrite(Path directory) throws IOException;

    /** Whether {@code path} names a directory itself: not a link, nor a junction (which Java counts as "other"). */
    static boolean isRealDirectory(Path path) throws IOException {
        BasicFileAttributes attributes = Files.readAttributes(path, BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
        return attributes.isDirectory() && !attributes.isSymbolicLink() && !attributes.isOther();
    }

    /** Permissions rwx------: the mode a directory is made with is never wider than that, whatever the umask. */
    private static final class Posix extends OwnerOnlyAccess {
        private static final FileAttribute<Set<PosixFilePermission>> OWNER_ONLY =
                PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"));

        Posix(UserPrincipal user) {
            super(user);
        }

        @Override
        Path createDirectory(Path directory) throws IOException {
            return Files.createDirectory(directory, OWNER_ONLY);
        }

        @Override
        Path createTempDirectory(Path parent, String prefix) throws IOException {
            return Files.createTempDirectory(parent, prefix, OWNER_ONLY);
        }

        @Override
        boolean othersCannotWrite(Path directory) throws IOException {
            Set<PosixFilePermission> mode = Files.getPosixFilePermissions(directory, LinkOption.NOFOLLOW_LINKS);
            return !mode.contains(PosixFilePermission.GROUP_WRITE) && !mode.contains(PosixFilePermission.OTHERS_WRITE);
        }
    }

    /**
     * The accounts that control every file of the machine whatever a list says, and may write any directory
     * without harm to its owner: Windows lists them on every folder it makes (Wine, which keeps no lists, on
     * every folder). By name, as Java looks principals up; a name the system does not know is not trusted.
     */
    static final List<String> MACHINE_ADMINISTRATORS = List.of("SYSTEM", "Administrators");

    /** One entry: everything for the account, inherited by what the directory holds; and the account as owner. */
    private static final class Acl extends OwnerOnlyAccess {
        private final List<AclEntry> ownerOnly;
        private final Set<UserPrincipal> machineAdministrators;

        Acl(UserPrincipal user, Set<UserPrincipal> machineAdministrators) {
            super(user);
            this.machineAdministrators = machineAdministrators;
            ownerOnly = List.of(AclEntry.newBuilder()
                    .setType(AclEntryType.ALLOW)
                    .setPrincipal(user)
                    .setPermissions(EnumSet.allOf(AclEntryPermission.class))
                    .setFlags(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT)
                    .build());
        }

        @Override
        Path createDirectory(Path directory) throws IOException {
            return restrict(Files.createDirectory(directory, attribute()));
        }

        @Override
        Path createTempDirectory(Path parent, String prefix) throws IOException {
            return restrict(Files.createTempDirectory(parent, prefix, attribute()));
        }

        /**
         * Sets the list and the owner again on a directory just made: the
         * system adds the parent's inheritable entries to the list it is
         * made with (in C:\Windows\Temp one lets every user add files to a
         * folder), and makes the Administrators group the owner for an
         * elevated process or a service.
         */
        private Path restrict(Path directory) throws IOException {
            AclFileAttributeView view = view(directory);
            view.setAcl(ownerOnly);
            view.setOwner(user);
            return directory;
        }

        @Override
        boolean othersCannotWrite(Path directory) throws IOException {
            return isOwnerOnly(view(directory).getAcl(), user, machineAdministrators);
        }

        private static AclFileAttributeView view(Path directory) {
            return Files.getFileAttributeView(directory, AclFileAttributeView.class, LinkOption.NOFOLLOW_LINKS);
        }

        private FileAttribute<List<AclEntry>> attribute() {
            return new FileAttribute<>() {
                @Override
                public String name() {
                    return "acl:acl";
                }

                @Override
                public List<AclEntry> value() {
                    return ownerOnly;
                }
            };
        }
    }

    /**
     * Whether an access control list lets {@code user} in and no other
     * principal write, now or in what the directory will hold, but the
     * machine's administrators. An empty list is refused too: Java shows a
     * missing list, which lets everyone in, as empty.
     */
    static boolean isOwnerOnly(List<AclEntry> acl, UserPrincipal user, Set<UserPrincipal> machineAdministrators) {
        return acl.stream().anyMatch(entry -> entry.type() == AclEntryType.ALLOW && entry.principal().equals(user))
                && acl.stream().noneMatch(entry -> entry.type() == AclEntryType.ALLOW && !entry.principal().equals(user)
                        && !machineAdministrators.contains(entry.principal())
                        && !Collections.disjoint(entry.permissions(), WRITING));
    }
}
