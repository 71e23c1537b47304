package com.corvane.zel.ntseclink.doctor;

import com.corvane.zel.ntseclink.doctor.Report.Explanation;
import java.util.Locale;
import java.util.Optional;

/**
 * Advice for a target name that Kerberos does not know, by what the name
 * itself shows: one that is no service principal name at all, or one of
 * another realm, needs other advice than registering it.
 */
final class TargetNames {
    static final int SEC_E_TARGET_UNKNOWN = 0x80090303;

    private TargetNames() {
    }

    /**
     * The explanation of a failure for the target {@code spn}, its advice
     * replaced when the status is SEC_E_TARGET_UNKNOWN and the name is
     * malformed or of another realm than the machine's.
     *
     * @param host the machine's DNS name, such as "wks01.corvane.test"
     */
    static Explanation explain(Explanation failure, String spn, String host) {
        boolean targetUnknown = failure.status().map(s -> s.code() == SEC_E_TARGET_UNKNOWN).orElse(false);
        if (!targetUnknown) {
            return failure;
        }
        return malformed(spn, host).or(() -> otherRealm(spn, host))
                .map(advice -> new Explanation(failure.status(), failure.meaning(), advice))
                .orElse(failure);
    }

    private static Optional<String> malformed(String spn, String host) {
        int slash = spn.indexOf('/');
        boolean wellFormed = slash > 0 && slash < spn.length() - 1 && spn.charAt(slash + 1) != '@'
                && spn.chars().noneMatch(Character::isWhitespace);
        if (wellFormed) {
            return Optional.empty();
        }
        return Optional.of("\"" + spn + "\" is no service principal name, which is service/host[:port][@REALM],"
                + " nor an account Kerberos knows: give --spn in that form, such as HTTP/" + host
                + ", or the account that runs the service (DOMAIN\\account).");
    }

    private static Optional<String> otherRealm(String spn, String host) {
        int dot = host.indexOf('.');
        if (dot < 0) {
            return Optional.empty();
        }
        String machineRealm = host.substring(dot + 1).toUpperCase(Locale.ROOT);
        Optional<String> realm = realmOf(spn);
        if (realm.isEmpty() || realm.get().equalsIgnoreCase(machineRealm)) {
            return Optional.empty();
        }
        return Optional.of(spn + " names a service of the realm " + realm.get() + ", not of this machine's "
                + machineRealm + ": Kerberos reaches it only through a trust between the two domains. Check the"
                + " trust (nltest /domain_trusts) and that the SPN is registered in that domain (setspn -Q "
                + withoutRealm(spn) + "), or name a service of " + machineRealm + ".");
    }

    private static String withoutRealm(String spn) {
        int at = spn.lastIndexOf('@');
        return at < 0 ? spn : spn.substring(0, at);
    }

    /** The realm a service principal name names: its @REALM, else its host's DNS domain when qualified. */
    private static Optional<String> realmOf(String spn) {
        int at = spn.lastIndexOf('@');
        if (at >= 0) {
            return Optional.of(spn.substring(at + 1).toUpperCase(Locale.ROOT));
        }
        String host = spn.substring(spn.indexOf('/') + 1);
        host = host.split("[:/]", 2)[0];
        int dot = host.indexOf('.');
        boolean qualified = dot > 0 && dot < host.length() - 1 && !host.chars().allMatch(c -> c == '.'
                || Character.isDigit(c));
        return qualified ? Optional.of(host.substring(dot + 1).toUpperCase(Locale.ROOT)) : Optional.empty();
    }
}
