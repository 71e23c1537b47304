package com.example.consumer;

import com.corvane.zel.ntseclink.ClientContext;
import com.corvane.zel.ntseclink.ContextFlags;
import com.corvane.zel.ntseclink.ServerContext;
import com.corvane.zel.ntseclink.servlet.NegotiateFilter;
import com.corvane.zel.ntseclink.spring.NegotiateConfigurer;
import java.util.Map;
import jakarta.servlet.Filter;

/**
 * Signs on to its own process through the library's API, as a service and
 * its client would over a connection, and names the client, the servlet
 * filter an application would register, and the Spring configurer it would
 * add to its filter chain, set up.
 */
public final class LoopbackSignOn {
    private LoopbackSignOn() {
    }

    public static void main(String[] args) {
        String targetName = args.length > 0 ? args[0] : "HTTP/localhost";
        try (ServerContext server = ServerContext.create("Negotiate");
                ClientContext client = ClientContext.create("Negotiate", targetName, ContextFlags.ISC_REQ_MUTUAL_AUTH)) {
            while (!server.accept(client.challengeToken())) {
                client.initialize(server.challengeToken());
            }
            byte[] finalToken = server.challengeToken();
            if (finalToken.length > 0) {
                client.initialize(finalToken);
            }
            Class<? extends Filter> filter = NegotiateFilter.class;
            NegotiateConfigurer configurer = new NegotiateConfigurer().roles(Map.of("ADMIN", "BUILTIN\\Administrators"));
            System.out.println("signed on: " + server.clientUserName() + "; filter: " + filter.getName() + "; configurer: "
                    + configurer.getClass().getName());
        }
    }
}
