package com.corvane.zel.ntseclink;

import java.io.IOException;
import java.net.CookieManager;
import java.net.URI;
import java.net.URLEncoder;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Optional;

/**
 * A browser's side of HTTP Negotiate over real HTTP: one HttpClient, so that
 * requests in turn share its one connection, with NegotiateClient making the
 * Authorization values.
 */
final class SignOnClient {
    static final String ADMINISTRATORS = "BUILTIN\\Administrators";
    static final String ENGINEERING = "CORVANE\\Engineering";

    private final HttpClient http;
    private final URI uri;

    /** A client of the server's root, asking for the two groups of the simulated machine's tests. */
    SignOnClient(URI server, boolean keepsCookies) {
        this(server, keepsCookies, ADMINISTRATORS, ENGINEERING);
    }

    /** A client of the server's root asking the report for the given roles or groups. */
    SignOnClient(URI server, boolean keepsCookies, String... roles) {
        HttpClient.Builder builder = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1);
        http = (keepsCookies ? builder.cookieHandler(new CookieManager()) : builder).build();
        uri = server.resolve("/report?groups=" + URLEncoder.encode(String.join(",", roles), StandardCharsets.UTF_8));
    }

    /** The outcome of a sign-on: the last response and how many requests it took. */
    record SignOn(HttpResponse<String> last, int requests) {
        Map<String, String> report() {
            return SignOnClient.report(last.body());
        }
    }

    HttpResponse<String> send(String method, String body, Optional<String> authorization)
            throws IOException, InterruptedException {
        HttpRequest.Builder request = HttpRequest.newBuilder(uri).method(method,
                body.isEmpty() ? HttpRequest.BodyPublishers.noBody() : HttpRequest.BodyPublishers.ofString(body));
        authorization.ifPresent(value -> request.header(HttpNegotiate.AUTHORIZATION, value));
        return http.send(request.build(), HttpResponse.BodyHandlers.ofString());
    }

    HttpResponse<String> get(Optional<String> authorization) throws IOException, InterruptedException {
        return send("GET", "", authorization);
    }

    /** Runs the handshake with GET requests until the server stops asking, and gives the server's last answer to the client. */
    SignOn signOn(NegotiateClient negotiate) throws IOException, InterruptedException {
        Optional<String> authorization = Optional.of(negotiate.authorization());
        HttpResponse<String> response;
        int requests = 0;
        do {
            response = get(authorization);
            requests++;
            List<String> answer = response.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE);
            authorization = answer.isEmpty() ? Optional.empty() : negotiate.respond(answer);
        } while (response.statusCode() == 401 && authorization.isPresent());
        return new SignOn(response, requests);
    }

    /** The report page's lines, "name=value", as a map in their order. */
    static Map<String, String> report(String body) {
        Map<String, String> lines = new LinkedHashMap<>();
        Arrays.stream(body.split("\n")).filter(line -> line.contains("="))
                .forEach(line -> lines.put(line.substring(0, line.indexOf('=')), line.substring(line.indexOf('=') + 1)));
        return lines;
    }

    /**
     * The report page both test servers answer once the client is signed on.
     *
     * @param groups the comma-separated groups or roles the client asked about
     * @param isMember the server's group or role check
     */
    static String reportPage(String user, String method, String body, int remotePort, String groups,
            java.util.function.Predicate<String> isMember) {
        StringBuilder page = new StringBuilder();
        page.append("user=").append(user).append('\n');
        page.append("method=").append(method).append('\n');
        page.append("body=").append(body).append('\n');
        page.append("connection=").append(remotePort).append('\n');
        page.append("impersonating=").append(LiveResources.threadImpersonating()).append('\n');
        for (String group : groups == null || groups.isEmpty() ? new String[0] : groups.split(",")) {
            page.append(group).append('=').append(isMember.test(group)).append('\n');
        }
        return page.toString();
    }
}
