package com.corvane.zel.ntseclink.spring;

import com.corvane.zel.ntseclink.signon.NegotiateSignOn;
import jakarta.servlet.FilterChain;
import jakarta.servlet.ServletException;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;
import org.springframework.security.web.util.OnCommittedResponseWrapper;
import org.springframework.web.filter.OncePerRequestFilter;

/**
 * Gives "Cache-Control: private" to the responses the sign-on marks (those
 * of a signed-on client, or that carry a token) when nothing set a
 * Cache-Control: Spring's header writer, inside this filter, writes its own
 * first unless the application turned it off, and the application may set
 * one.
 */
final class PrivateResponses extends OncePerRequestFilter {
    private static final String MARK = PrivateResponses.class.getName() + ".marked";

    /** Marks the request's response as one no shared cache may keep. */
    static void mark(HttpServletRequest request) {
        request.setAttribute(MARK, Boolean.TRUE);
    }

    @Override
    protected void doFilterInternal(HttpServletRequest request, HttpServletResponse response, FilterChain chain)
            throws ServletException, IOException {
        KeptPrivate kept = new KeptPrivate(request, response);
        try {
            chain.doFilter(request, kept);
        } finally {
            kept.onResponseCommitted();
        }
    }

    private static final class KeptPrivate extends OnCommittedResponseWrapper {
        private final HttpServletRequest request;

        KeptPrivate(HttpServletRequest request, HttpServletResponse response) {
            super(response);
            this.request = request;
        }

        /** Called as the response commits, after the writers inside this one, and at the end of the chain. */
        @Override
        protected void onResponseCommitted() {
            if (request.getAttribute(MARK) != null && !isCommitted()
                    && !containsHeader(NegotiateSignOn.CACHE_CONTROL)) {
                setHeader(NegotiateSignOn.CACHE_CONTROL, NegotiateSignOn.PRIVATE);
            }
        }
    }
}
