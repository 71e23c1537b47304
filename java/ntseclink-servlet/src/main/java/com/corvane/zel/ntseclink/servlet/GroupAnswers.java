package com.corvane.zel.ntseclink.servlet;

import com.corvane.zel.ntseclink.UserContext;
import com.corvane.zel.ntseclink.WinUtil;
import java.time.Duration;
import java.util.Iterator;
import java.util.LinkedHashMap;
import java.util.Map;

/**
 * The group answers of signed-on users whose requests carry no handshake
 * (those of a session): each asked of a user context made for the question
 * and released at once, then kept per user name, for every session of the
 * user, at most the maximum age, so that a membership removed or an account
 * disabled takes effect within it. Bounded in number; no native resource is
 * held between requests.
 */
final class GroupAnswers {
    /** How many answers are kept; beyond it, the least recently used goes. */
    private static final int CAPACITY = 10_000;

    private record Question(String user, String group) {
    }

    private record Answer(boolean member, long askedAtNanos) {
    }

    private final long maxAgeNanos;
    /** In access order, so that the first is the least recently used. */
    private final LinkedHashMap<Question, Answer> answers = new LinkedHashMap<>(16, 0.75f, true);

    /** @param maxAge how long an answer is kept; zero asks every time */
    GroupAnswers(Duration maxAge) {
        this.maxAgeNanos = maxAge.toNanos();
    }

    /**
     * Tells whether the user is a member of the group, from an answer kept
     * less than the maximum age, else from the user's groups now.
     *
     * @param user the signed-on client's name, as its context gave it
     * @param group the group's name
     */
    boolean isMember(String user, String group) {
        Question question = new Question(user, group);
        long now = System.nanoTime();
        synchronized (answers) {
            Answer kept = answers.get(question);
            if (kept != null && now - kept.askedAtNanos() < maxAgeNanos) {
                return kept.member();
            }
        }
        boolean member = ask(user, group);
        if (maxAgeNanos > 0) {
            keep(question, new Answer(member, now));
        }
        return member;
    }

    private void keep(Question question, Answer answer) {
        synchronized (answers) {
            answers.put(question, answer);
            if (answers.size() > CAPACITY) {
                Iterator<Map.Entry<Question, Answer>> leastRecentlyUsed = answers.entrySet().iterator();
                leastRecentlyUsed.next();
                leastRecentlyUsed.remove();
            }
        }
    }

    private static boolean ask(String user, String group) {
        try (UserContext groups = UserContext.create(accountName(user))) {
            return groups.isGroupMember(group);
        }
    }

    /** User contexts take "DOMAIN\name" only; the client's name leaves out this machine's name. */
    private static String accountName(String user) {
        return user.indexOf('\\') >= 0 ? user : WinUtil.GetComputerNameNetBIOS() + "\\" + user;
    }
}
