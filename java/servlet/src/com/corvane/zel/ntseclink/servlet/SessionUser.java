package com.corvane.zel.ntseclink.servlet;

import com.corvane.zel.ntseclink.UserContext;
import com.corvane.zel.ntseclink.WinUtil;
import jakarta.servlet.http.HttpSessionActivationListener;
import jakarta.servlet.http.HttpSessionBindingEvent;
import jakarta.servlet.http.HttpSessionBindingListener;
import jakarta.servlet.http.HttpSessionEvent;
import java.io.Serializable;

/**
 * The signed-on client kept in the HTTP session, so that later requests of
 * the session need no handshake. Its group answers come from a
 * {@link UserContext} of the same name, made on the first question and
 * released when the session ends or is written out.
 */
final class SessionUser implements Serializable, HttpSessionBindingListener, HttpSessionActivationListener {
    private static final long serialVersionUID = 1L;

    private final String name;
    private transient UserContext groups;
    private transient boolean ended;

    SessionUser(String name) {
        this.name = name;
    }

    ClientPrincipal principal() {
        return new ClientPrincipal(name);
    }

    /** Answers from the session's user context; once the session has ended, from one made for the question. */
    synchronized boolean isMember(String group) {
        if (ended) {
            try (UserContext once = UserContext.create(accountName())) {
                return once.isGroupMember(group);
            }
        }
        if (groups == null) {
            groups = UserContext.create(accountName());
        }
        return groups.isGroupMember(group);
    }

    @Override
    public synchronized void valueUnbound(HttpSessionBindingEvent event) {
        ended = true;
        release();
    }

    @Override
    public synchronized void sessionWillPassivate(HttpSessionEvent event) {
        release();
    }

    private void release() {
        if (groups != null) {
            groups.close();
            groups = null;
        }
    }

    /** User contexts take "DOMAIN\name" only; the client's name leaves out this machine's name. */
    private String accountName() {
        return name.indexOf('\\') >= 0 ? name : WinUtil.GetComputerNameNetBIOS() + "\\" + name;
    }
}
