package com.corvane.zel.ntseclink.windowsjvm;

import com.corvane.zel.ntseclink.LoopbackTomcat;
import com.corvane.zel.ntseclink.servlet.NegotiateFilter;
import jakarta.servlet.FilterRegistration;
import jakarta.servlet.ServletContainerInitializer;
import jakarta.servlet.ServletContext;
import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;
import java.util.Set;
import java.util.function.Function;
import java.util.logging.Level;
import java.util.logging.Logger;

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
        LoopbackTomcat tomcat = LoopbackTomcat.start(TomcatSignOnServer.class.getClassLoader(), new SignOnApplication());
        return new HttpSignOnServer.Running() {
            @Override
            public int port() {
                return tomcat.port();
            }

            @Override
            public void close() throws IOException {
                tomcat.close();
            }
        };
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
