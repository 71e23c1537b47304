package com.corvane.zel.ntseclink.bench;

import com.corvane.zel.ntseclink.spring.NegotiateConfigurer;
import java.net.URI;
import java.util.Map;
import org.springframework.boot.SpringBootConfiguration;
import org.springframework.boot.autoconfigure.EnableAutoConfiguration;
import org.springframework.boot.builder.SpringApplicationBuilder;
import org.springframework.boot.security.autoconfigure.UserDetailsServiceAutoConfiguration;
import org.springframework.context.ConfigurableApplicationContext;
import org.springframework.context.annotation.Bean;
import org.springframework.security.config.annotation.web.builders.HttpSecurity;
import org.springframework.security.config.http.SessionCreationPolicy;
import org.springframework.security.core.Authentication;
import org.springframework.security.core.GrantedAuthority;
import org.springframework.security.web.SecurityFilterChain;
import org.springframework.web.bind.annotation.GetMapping;
import org.springframework.web.bind.annotation.RestController;

/**
 * Authenticated requests on Spring Boot (embedded Tomcat, Spring MVC), signed
 * on by Spring Security with NegotiateConfigurer, with eight server threads.
 *
 * <p>The application is stateless, as the JDK variant's server is: the
 * clients keep no cookies and sign on with every request, so a session would
 * only add its creation, and Spring's renaming of it, to each one. The group
 * is a role mapped to it, which the sign-on checks for every request, as the
 * JDK variant's page does. Spring Security's other defaults stay, as an
 * application would have them.
 */
public class SpringRequests extends AuthenticatedRequests {
    private static final String ADMINISTRATORS = "ADMINISTRATORS";

    private ConfigurableApplicationContext application;

    @Override
    protected URI startServer() {
        application = new SpringApplicationBuilder(Application.class)
                .properties(Map.of(
                        "server.address", "127.0.0.1",
                        "server.port", "0",
                        // The JDK variant's eight server threads, and no connection closed
                        // after a count of requests: the clients' connections last the run, as there.
                        "server.tomcat.threads.max", "8",
                        "server.tomcat.threads.min-spare", "8",
                        "server.tomcat.max-keep-alive-requests", "-1",
                        // JMH's report is the output; Spring's start-up lines would break into it.
                        "spring.main.banner-mode", "off",
                        "logging.level.root", "WARN"))
                .run();
        return URI.create("http://127.0.0.1:" + application.getEnvironment().getProperty("local.server.port") + "/");
    }

    @Override
    protected void stopServer() {
        application.close();
    }

    /** The application: one page, for signed-on clients only. */
    // Windows accounts are the only users: no generated password.
    @SpringBootConfiguration(proxyBeanMethods = false)
    @EnableAutoConfiguration(exclude = UserDetailsServiceAutoConfiguration.class)
    @RestController
    public static class Application {
        /**
         * Every request signs on; none keeps a session.
         *
         * @param http the chain's builder
         * @return the chain
         */
        @Bean
        SecurityFilterChain security(HttpSecurity http) {
            return http
                    .authorizeHttpRequests(requests -> requests.anyRequest().authenticated())
                    .sessionManagement(sessions -> sessions.sessionCreationPolicy(SessionCreationPolicy.STATELESS))
                    .with(new NegotiateConfigurer(), windows -> windows.roles(Map.of(ADMINISTRATORS, GROUP)))
                    .build();
        }

        /**
         * The JDK variant's page: the client's name and whether it is in the group.
         *
         * @param client the signed-on client
         * @return the page
         */
        @GetMapping("/")
        String page(Authentication client) {
            boolean member = client.getAuthorities().stream().map(GrantedAuthority::getAuthority)
                    .anyMatch(("ROLE_" + ADMINISTRATORS)::equals);
            return client.getName() + " " + member;
        }
    }
}
