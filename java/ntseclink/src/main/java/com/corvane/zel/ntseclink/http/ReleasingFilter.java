package com.corvane.zel.ntseclink.http;

import com.sun.net.httpserver.Filter;
import com.sun.net.httpserver.HttpExchange;
import java.io.IOException;

/**
 * Releases the client's context when the handler throws: the server then
 * drops the connection without closing the exchange, which would leave the
 * context to the garbage collector.
 */
final class ReleasingFilter extends Filter {
    @Override
    public void doFilter(HttpExchange exchange, Chain chain) throws IOException {
        boolean returned = false;
        try {
            chain.doFilter(exchange);
            returned = true;
        } finally {
            // A handler that returns may still answer from another thread: closing the exchange releases it then.
            if (!returned && exchange.getPrincipal() instanceof NegotiatePrincipal client) {
                client.release();
            }
        }
    }

    @Override
    public String description() {
        return "Releases the Negotiate client's context when the handler throws";
    }
}
