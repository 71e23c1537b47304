package com.corvane.zel.ntseclink.spring;

import com.corvane.zel.ntseclink.HttpNegotiate;
import com.corvane.zel.ntseclink.signon.NegotiateSignOn;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.util.List;
import org.springframework.security.core.AuthenticationException;
import org.springframework.security.web.AuthenticationEntryPoint;

/** Asks a client that is not signed on to sign on: 401 with the schemes the sign-on offers. */
final class NegotiateEntryPoint implements AuthenticationEntryPoint {
    private final NegotiateSignOn signOn;

    NegotiateEntryPoint(NegotiateSignOn signOn) {
        this.signOn = signOn;
    }

    @Override
    public void commence(HttpServletRequest request, HttpServletResponse response,
            AuthenticationException notSignedOn) {
        // A request without a token is answered with the challenge of the policy in force, and touches no state.
        NegotiateSignOn.Outcome challenge = signOn.authenticate("", request.getRemoteAddr(), List.of());
        challenge.wwwAuthenticate().forEach(value -> response.addHeader(HttpNegotiate.WWW_AUTHENTICATE, value));
        response.setStatus(challenge.status());
    }
}
