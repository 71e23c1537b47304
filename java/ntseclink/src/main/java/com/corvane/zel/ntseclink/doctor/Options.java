package com.corvane.zel.ntseclink.doctor;

import java.util.ArrayList;
import java.util.List;
import java.util.Optional;

/** The doctor's command line, checked. */
record Options(Optional<String> spn, String packageName, List<String> groups, List<String> users, boolean json,
        boolean dataDirectory) {
    static final String COMMAND = "doctor";
    static final String DEFAULT_PACKAGE = "Negotiate";
    private static final List<String> OPTIONS_WITH_VALUES = List.of("--spn", "--package", "--group", "--user");

    static final String USAGE = String.join(System.lineSeparator(),
            "usage: java -jar ntseclink-VERSION.jar doctor [--spn SPN] [--package NAME] [--group NAME]..."
                    + " [--user DOMAIN\\name]... [--data-directory] [--json]",
            "  --spn SPN            the service principal name to sign on to (default HTTP/ and this machine's DNS"
                    + " name)",
            "  --package NAME       the security package: Negotiate (default), Kerberos or NTLM",
            "  --group NAME         a group to look up for the signed-on client and each user; repeatable",
            "  --user DOMAIN\\name   a user whose context, SID and groups to check; repeatable",
            "  --data-directory     also find the product's data directory, which creates it when missing"
                    + " (otherwise the doctor changes nothing on the machine)",
            "  --json               the report as JSON, for monitoring",
            "Exit code: 0 when every check passed, 1 when one failed, 2 for a usage error or a library that cannot"
                    + " be loaded.",
            "Off Windows, -Dntseclink.library.path=FILE (before -jar) names the simulated build to run on.");

    /** A command line the doctor cannot run; its message says why. */
    static final class Invalid extends Exception {
        private static final long serialVersionUID = 1L;

        Invalid(String message) {
            super(message);
        }
    }

    /** Tells whether the command line asks for the usage only. */
    static boolean asksForHelp(String[] args) {
        return List.of(args).contains("--help") || List.of(args).contains("-h");
    }

    /**
     * Reads "doctor" and its options.
     *
     * @throws Invalid for a missing or unknown command or option, a missing or empty value, or a user without
     *     its domain
     */
    static Options parse(String[] args) throws Invalid {
        if (args.length == 0 || !args[0].equals(COMMAND)) {
            throw new Invalid(args.length == 0 ? "no command given" : "unknown command \"" + args[0] + "\"");
        }
        Optional<String> spn = Optional.empty();
        String packageName = DEFAULT_PACKAGE;
        List<String> groups = new ArrayList<>();
        List<String> users = new ArrayList<>();
        boolean json = false;
        boolean dataDirectory = false;
        for (int i = 1; i < args.length; i++) {
            String option = args[i];
            if (option.equals("--json") || option.equals("--data-directory")) {
                json |= option.equals("--json");
                dataDirectory |= option.equals("--data-directory");
                continue;
            }
            if (!OPTIONS_WITH_VALUES.contains(option)) {
                throw new Invalid((option.startsWith("-") ? "unknown option \"" : "unexpected argument \"") + option
                        + "\"");
            }
            String value = valueOf(args, ++i, option);
            switch (option) {
                case "--spn" -> spn = Optional.of(value);
                case "--package" -> packageName = value;
                case "--group" -> groups.add(value);
                default -> users.add(qualifiedUser(value));
            }
        }
        return new Options(spn, packageName, List.copyOf(groups), List.copyOf(users), json, dataDirectory);
    }

    // An option in place of the value means the value was left out.
    private static String valueOf(String[] args, int index, String option) throws Invalid {
        if (index >= args.length || args[index].isBlank() || args[index].startsWith("--")) {
            throw new Invalid(option + " needs a value");
        }
        return args[index];
    }

    // User contexts are made for DOMAIN\name only; say so before any check runs.
    private static String qualifiedUser(String name) throws Invalid {
        int backslash = name.indexOf('\\');
        if (backslash <= 0 || backslash == name.length() - 1) {
            throw new Invalid("--user takes DOMAIN\\name, not \"" + name + "\": a user context is made for the account"
                    + " by its domain's NetBIOS name and its account name, as Windows names it at logon (such as"
                    + " CORVANE\\alice); a user principal name (alice@corvane.test) or a bare name does not say which"
                    + " domain to ask");
        }
        return name;
    }
}
