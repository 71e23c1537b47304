package com.corvane.zel.ntseclink.windowsjvm;

import com.corvane.zel.ntseclink.servlet.NegotiateFilter;
import jakarta.servlet.FilterRegistration;
import jakarta.servlet.ServletContainerInitializer;
import jakarta.servlet.ServletContext;
import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Comparator;
import java.util.Set;
import java.util.function.Function;
import java.util.logging.Level;
import java.util.logging.Logger;
import java.util.stream.Stream;
import org.apache.catalina.LifecycleException;
import org.apache.catalina.core.StandardContext;
import org.apache.catalina.startup.Tomcat;

/**
 * {@link HttpSignOnServer}'s Tomcat: an embedded Tomcat 10 with the servlet
 * filter before {@value HttpSignOnServer#SIGNED_ON_PATH}. Needs Tomcat and
 * the filter's jar on the class path, which the JUnit runs of this jar do
 * not have: no type of theirs appears in a signature here, so that
 * scanning this class for tests finds none instead of failing.
 */
final class TomcatSignOnServer {
    /** Held, so that the quieter level stays: Tomcat's start and stop lines are not the tests'. */
    private static final Logger TOMCAT_LOG = Logger.getLogger("org.apache");

    private TomcatSignOnServer() {
    }

    static HttpSignOnServer.Running start() throws Exception {
        TOMCAT_LOG.setLevel(Level.WARNING);
        Path baseDir = Files.createTempDirectory("ntseclink-tomcat");
        Tomcat tomcat = new Tomcat();
        tomcat.setBaseDir(baseDir.toString());
        tomcat.setHostname("127.0.0.1");
        tomcat.setPort(0);
        tomcat.getConnector().setProperty("address", "127.0.0.1");
        StandardContext context = (StandardContext) tomcat.addContext("", baseDir.toString());
        context.setParentClassLoader(TomcatSignOnServer.class.getClassLoader());
        // Nothing here is annotated, and Debian's embedded Tomcat comes without the annotations API.
        context.setIgnoreAnnotations(true);
        // Leak checks that need the JDK opened to Tomcat.
        context.setClearReferencesObjectStreamClassCaches(false);
        context.setClearReferencesRmiTargets(false);
        context.setClearReferencesThreadLocals(false);
        context.addServletContainerInitializer(new SignOnApplication(), null);
        tomcat.start();
        int port = tomcat.getConnector().getLocalPort();
        return new HttpSignOnServer.Running() {
            @Override
            public int port() {
                return port;
            }

            @Override
            public void close() throws IOException {
                try {
                    tomcat.stop();
                    tomcat.destroy();
                } catch (LifecycleException e) {
                    throw new IOException("Tomcat did not stop", e);
                }
                removeFolder(baseDir);
            }
        };
    }

    private static void removeFolder(Path folder) throws IOException {
        try (Stream<Path> files = Files.walk(folder)) {
            for (Path file : files.sorted(Comparator.reverseOrder()).toList()) {
                Files.delete(file);
            }
        }
    }

    /** The filter before the signed-on servlet, and the live count beside them, as an application registers them. */
    private static final class SignOnApplication implements ServletContainerInitializer {
        @Override
        public void onStartup(Set<Class<?>> classes, ServletContext application) {
            application.addServlet("signed-on", new TextServlet(request -> "user=" + request.getRemoteUser()))
                    .addMapping(HttpSignOnServer.SIGNED_ON_PATH);
            application.addServlet("live", new TextServlet(request -> HttpSignOnServer.liveReport()))
                    .addMapping(HttpSignOnServer.LIVE_PATH);
            FilterRegistration.Dynamic filter = application.addFilter("sign-on", NegotiateFilter.class);
            filter.addMappingForUrlPatterns(null, false, HttpSignOnServer.SIGNED_ON_PATH);
        }
    }

    private static final class TextServlet extends HttpServlet {
        private static final long serialVersionUID = 1L;
        private final transient Function<HttpServletRequest, String> text;

        TextServlet(Function<HttpServletRequest, String> text) {
            this.text = text;
        }

        @Override
        protected void doGet(HttpServletRequest request, HttpServletResponse response) throws IOException {
            response.setContentType("text/plain;charset=UTF-8");
            response.getWriter().print(text.apply(request));
        }
    }
}
