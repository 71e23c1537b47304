package com.corvane.zel.ntseclink;

import java.io.IOException;
import java.net.CookieManager;
import java.net.URI;
import java.net.URLEncoder;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
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

    /** The page whose report sets a Cache-Control of its own, as an application may. */
    static final String OWN_CACHE_CONTROL_PAGE = "/own-cache-control";
    /** The Cache-Control that page sets. */
    static final String OWN_CACHE_CONTROL = "no-store";

    private final HttpClient http;
    private final URI uri;

    /** A client of the server's root, asking for the two groups of the simulated machine's tests. */
    SignOnClient(URI server, boolean keepsCookies) {
        this(server, keepsCookies, ADMINISTRATORS, ENGINEERING);
    }

    /** A client of the server's root asking the report for the given roles or groups. */
    SignOnClient(URI server, boolean keepsCookies, String... roles) {
        this(newClient(keepsCookies),
                server.resolve("/report?groups=" + URLEncoder.encode(String.join(",", roles), StandardCharsets.UTF_8)));
    }

    private SignOnClient(HttpClient http, URI uri) {
        this.http = http;
        this.uri = uri;
    }

    private static HttpClient newClient(boolean keepsCookies) {
        HttpClient.Builder builder = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1);
        return (keepsCookies ? builder.cookieHandler(new CookieManager()) : builder).build();
    }

    /** This client, on its connection and with its cookies, asking for another page with the same question. */
    SignOnClient page(String path) {
        return new SignOnClient(http, uri.resolve(path + "?" + uri.getRawQuery()));
    }

    /** The outcome of a sign-on: every response, in order. */
    record SignOn(List<HttpResponse<String>> responses) {
        HttpResponse<String> last() {
            return responses.get(responses.size() - 1);
        }

        int requests() {
            return responses.size();
        }

        Map<String, String> report() {
            return SignOnClient.report(last().body());
        }
    }

    HttpResponse<String> send(String method, String body, Optional<String> authorization)
            throws IOException, InterruptedException {
        return send(method, body, authorization.stream().toList());
    }

    /** A request with an Authorization header line for each value. */
    HttpResponse<String> send(String method, String body, List<String> authorizations)
            throws IOException, InterruptedException {
        HttpRequest.Builder request = HttpRequest.newBuilder(uri).method(method,
                body.isEmpty() ? HttpRequest.BodyPublishers.noBody() : HttpRequest.BodyPublishers.ofString(body));
        authorizations.forEach(value -> request.header(HttpNegotiate.AUTHORIZATION, value));
        return http.send(request.build(), HttpResponse.BodyHandlers.ofString());
    }

    HttpResponse<String> get(Optional<String> authorization) throws IOException, InterruptedException {
        return send("GET", "", authorization);
    }

    /** Runs the handshake with GET requests until the server stops asking, and gives the server's last answer to the client. */
    SignOn signOn(NegotiateClient negotiate) throws IOException, InterruptedException {
        Optional<String> authorization = Optional.of(negotiate.authorization());
        List<HttpResponse<String>> responses = new ArrayList<>();
        HttpResponse<String> response;
        do {
            response = get(authorization);
            responses.add(response);
            List<String> answer = response.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE);
            authorization = answer.isEmpty() ? Optional.empty() : negotiate.respond(answer);
        } while (response.statusCode() == 401 && authorization.isPresent());
        return new SignOn(responses);
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
