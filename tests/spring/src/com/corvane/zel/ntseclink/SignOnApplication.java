package com.corvane.zel.ntseclink;

import com.corvane.zel.ntseclink.spring.NegotiateConfigurer;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;
import java.net.URI;
import java.nio.charset.StandardCharsets;
import java.util.HashMap;
import java.util.Map;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.Consumer;
import java.util.stream.Collectors;
import org.springframework.boot.SpringBootConfiguration;
import org.springframework.boot.autoconfigure.EnableAutoConfiguration;
import org.springframework.boot.builder.SpringApplicationBuilder;
import org.springframework.context.ConfigurableApplicationContext;
import org.springframework.context.annotation.Bean;
import org.springframework.context.annotation.Import;
import org.springframework.context.support.GenericApplicationContext;
import org.springframework.security.config.annotation.web.builders.HttpSecurity;
import org.springframework.security.config.core.GrantedAuthorityDefaults;
import org.springframework.security.core.Authentication;
import org.springframework.security.core.GrantedAuthority;
import org.springframework.security.web.SecurityFilterChain;
import org.springframework.web.bind.annotation.RequestMapping;
import org.springframework.web.bind.annotation.RestController;

/**
 * A Spring Boot application on a free loopback port whose every page needs a
 * signed-on user and answers with SignOnClient.reportPage, and the user's
 * authorities on a last line.
 */
@SpringBootConfiguration
@EnableAutoConfiguration
@Import(SignOnApplication.Report.class)
class SignOnApplication {
    /** The roles every configuration maps; the report asks for them by their groups' names. */
    static final Map<String, String> ROLES = Map.of("ADMINISTRATORS", SignOnClient.ADMINISTRATORS,
            "ENGINEERING", SignOnClient.ENGINEERING);
    private static final Map<String, String> ROLE_OF_GROUP = ROLES.entrySet().stream()
            .collect(Collectors.toMap(Map.Entry::getValue, Map.Entry::getKey));

    /** The cases shared with the other servers expect the sign-on's Cache-Control, not Spring's. */
    private static final Consumer<HttpSecurity> SIGN_ON_CACHE_CONTROL =
            http -> http.headers(headers -> headers.cacheControl(cache -> cache.disable()));

    /**
     * How the application is configured.
     *
     * @param windows configures the sign-on
     * @param http configures the rest of the chain
     * @param rolePrefix the application's role prefix, or null for Spring's
     * @param properties further Spring Boot properties
     */
    record Settings(Consumer<NegotiateConfigurer> windows, Consumer<HttpSecurity> http, String rolePrefix,
            Map<String, String> properties) {
        static Settings of(Consumer<NegotiateConfigurer> windows) {
            return new Settings(windows, SIGN_ON_CACHE_CONTROL, null, Map.of());
        }

        Settings with(Consumer<HttpSecurity> more) {
            return new Settings(windows, http.andThen(more), rolePrefix, properties);
        }

        Settings withRolePrefix(String prefix) {
            return new Settings(windows, http, prefix, properties);
        }

        Settings with(Map<String, String> more) {
            Map<String, String> all = new HashMap<>(properties);
            all.putAll(more);
            return new Settings(windows, http, rolePrefix, all);
        }
    }

    /** Starts the application; closing the server closes its context. */
    static HttpSignOnCases.TestServer start(Settings settings) {
        AtomicInteger served = new AtomicInteger();
        Map<String, Object> properties = new HashMap<>(Map.of("server.address", "127.0.0.1", "server.port", "0",
                "spring.main.banner-mode", "off", "logging.level.org.springframework.boot", "WARN",
                "logging.level.org.apache", "WARN"));
        properties.putAll(settings.properties());
        ConfigurableApplicationContext context = new SpringApplicationBuilder(SignOnApplication.class)
                .properties(properties)
                .initializers(application -> {
                    GenericApplicationContext beans = (GenericApplicationContext) application;
                    beans.registerBean(Settings.class, () -> settings);
                    beans.registerBean(AtomicInteger.class, () -> served);
                    if (settings.rolePrefix() != null) {
                        beans.registerBean(GrantedAuthorityDefaults.class,
                                () -> new GrantedAuthorityDefaults(settings.rolePrefix()));
                    }
                })
                .run();
        URI uri = URI.create("http://127.0.0.1:" + context.getEnvironment().getProperty("local.server.port"));
        return new HttpSignOnCases.Started(uri, served, context::close);
    }

    @Bean
    SecurityFilterChain security(HttpSecurity http, Settings settings) {
        http.authorizeHttpRequests(requests -> requests.anyRequest().authenticated())
                // The clients here are not browsers with forms.
                .csrf(csrf -> csrf.disable())
                .with(new NegotiateConfigurer(), windows -> settings.windows().accept(windows.roles(ROLES)));
        settings.http().accept(http);
        return http.build();
    }

    @RestController
    static class Report {
        private final AtomicInteger served;

        Report(AtomicInteger served) {
            this.served = served;
        }

        @RequestMapping("/**")
        String report(HttpServletRequest request, HttpServletResponse response, Authentication user)
                throws IOException {
            served.incrementAndGet();
            String body = new String(request.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            if (request.getRequestURI().equals(SignOnClient.OWN_CACHE_CONTROL_PAGE)) {
                response.setHeader("Cache-Control", SignOnClient.OWN_CACHE_CONTROL);
            }
            return SignOnClient.reportPage(user.getName(), request.getMethod(), body, request.getRemotePort(),
                    request.getParameter("groups"), group -> request.isUserInRole(ROLE_OF_GROUP.getOrDefault(group,
                            group)))
                    + "authorities=" + user.getAuthorities().stream().map(GrantedAuthority::getAuthority).sorted()
                            .collect(Collectors.joining(",")) + "\n";
        }
    }
}
