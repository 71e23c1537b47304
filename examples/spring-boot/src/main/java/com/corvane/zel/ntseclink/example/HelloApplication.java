package com.corvane.zel.ntseclink.example;

import com.corvane.zel.ntseclink.spring.NegotiateConfigurer;
import java.security.Principal;
import java.util.Map;
import org.springframework.boot.SpringApplication;
import org.springframework.boot.autoconfigure.SpringBootApplication;
import org.springframework.boot.security.autoconfigure.UserDetailsServiceAutoConfiguration;
import org.springframework.context.annotation.Bean;
import org.springframework.security.access.prepost.PreAuthorize;
import org.springframework.security.config.annotation.method.configuration.EnableMethodSecurity;
import org.springframework.security.config.annotation.web.builders.HttpSecurity;
import org.springframework.security.web.SecurityFilterChain;
import org.springframework.web.bind.annotation.GetMapping;
import org.springframework.web.bind.annotation.RestController;

/** A service whose users sign on with their Windows accounts: one page for everyone, two for some. */
// Windows accounts are the only users: no generated password.
@SpringBootApplication(exclude = UserDetailsServiceAutoConfiguration.class)
@EnableMethodSecurity
@RestController
public class HelloApplication {
    public static void main(String[] args) {
        SpringApplication.run(HelloApplication.class, args);
    }

    @Bean
    SecurityFilterChain security(HttpSecurity http) {
        return http
                .authorizeHttpRequests(requests -> requests
                        .requestMatchers("/", "/error").permitAll()
                        .requestMatchers("/admin").hasRole("ADMIN")
                        .anyRequest().authenticated())
                .with(new NegotiateConfigurer(), windows -> windows.roles(Map.of(
                        "ADMIN", "BUILTIN\\Administrators",
                        "ENGINEERING", "CORVANE\\Engineering")))
                .build();
    }

    @GetMapping("/")
    String hello() {
        return "Hello. /admin is for administrators, /engineering for engineers.\n";
    }

    @GetMapping("/admin")
    String admin(Principal user) {
        return "Hello, " + user.getName() + ": you administer this machine.\n";
    }

    @GetMapping("/engineering")
    @PreAuthorize("hasRole('ENGINEERING')")
    String engineering(Principal user) {
        return "Hello, " + user.getName() + ": you are an engineer.\n";
    }
}
