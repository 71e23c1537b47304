package com.corvane.zel.ntseclink.windowsjvm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.corvane.zel.ntseclink.HttpNegotiate;
import com.corvane.zel.ntseclink.NegotiateClient;
import com.corvane.zel.ntseclink.http.NegotiateAuthenticator;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Optional;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;

/**
 * NTLM over HTTP through the run's domain controller, both ends in this
 * Windows JVM: the JDK's HTTP server with {@link NegotiateAuthenticator},
 * and a client of the NTLM package that sends its tokens on one connection,
 * as a browser without a Kerberos ticket does.
 */
@Tag("domain")
class HttpNtlmSignOnTest {
    // The handshake completes: negotiate, the server's challenge, authenticate. Then
    // the authenticator asks for the client's name, which Wine answers with
    // SEC_E_UNSUPPORTED_FUNCTION (Windows names the client and the handler runs):
    // the request ends in 500, logged with that status, and the context is released.
    @Test
    void ntlmCompletesInTwoRequestsAndEndsWhereWineCannotNameTheClient() throws Exception {
        int liveBefore = LiveContexts.count();
        List<String> logLines = Collections.synchronizedList(new ArrayList<>());
        HttpClient http = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build();
        SignOnLog log = SignOnLog.attach(logLines::add);
        try (HttpSignOnServer.Running server = HttpSignOnServer.startJdkServer();
                NegotiateClient ntlm = NegotiateClient.create("NTLM", null, Handshakes.CLIENT_FLAGS)
                        .allowWithoutMutualAuthentication()) {
            URI signedOn = URI.create("http://127.0.0.1:" + server.port() + HttpSignOnServer.SIGNED_ON_PATH);
            HttpResponse<String> challenge = get(http, signedOn, ntlm.authorization());
            assertEquals(401, challenge.statusCode(), "the negotiate message is answered with a challenge");
            Optional<String> authenticate = ntlm.respond(challenge.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE));
            assertTrue(authenticate.isPresent(), "the client answers the challenge");
            assertTrue(ntlm.isComplete(), "the client is done once it has its authenticate message");

            HttpResponse<String> last = get(http, signedOn, authenticate.get());
            assertEquals(500, last.statusCode(), "the server took the authenticate message but names no client: "
                    + last.body());
            assertEquals(List.of(), last.headers().allValues(HttpNegotiate.WWW_AUTHENTICATE),
                    "NTLM ends without a server token");
            assertEquals(1, logLines.stream().filter(line -> SignOnLog.isUnsupportedFunctionError(line,
                    NegotiateAuthenticator.class.getName())).count(), "one error naming the status in " + logLines);
        } finally {
            log.close();
        }
        assertEquals(liveBefore, LiveContexts.count(), "SSPI contexts left live");
    }

    private static HttpResponse<String> get(HttpClient http, URI uri, String authorization) throws Exception {
        return http.send(HttpRequest.newBuilder(uri).header(HttpNegotiate.AUTHORIZATION, authorization).build(),
                HttpResponse.BodyHandlers.ofString());
    }
}
