package com.corvane.zel.ntseclink;

import jakarta.servlet.ServletContainerInitializer;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Comparator;
import java.util.stream.Stream;
import org.apache.catalina.LifecycleException;
import org.apache.catalina.core.StandardContext;
import org.apache.catalina.startup.Tomcat;

/**
 * An embedded Tomcat on a free loopback port serving one application, for
 * the servlet filter's tests here and on the Windows JVM; its base folder is
 * a fresh temporary one, removed when it stops.
 */
public final class LoopbackTomcat implements AutoCloseable {
    private final Tomcat tomcat;
    private final Path baseDir;

    private LoopbackTomcat(Tomcat tomcat, Path baseDir) {
        this.tomcat = tomcat;
        this.baseDir = baseDir;
    }

    /**
     * Starts Tomcat with the application that {@code application} registers,
     * as an application would, through the Servlet API.
     *
     * @param classes the class loader of the classes under test, which has loaded the library
     * @param application registers the application's servlets and filters
     * @return the started server
     * @throws Exception when Tomcat cannot start
     */
    public static LoopbackTomcat start(ClassLoader classes, ServletContainerInitializer application)
            throws Exception {
        Path baseDir = Files.createTempDirectory("ntseclink-tomcat");
        Tomcat tomcat = new Tomcat();
        tomcat.setBaseDir(baseDir.toString());
        tomcat.setHostname("127.0.0.1");
        tomcat.setPort(0);
        tomcat.getConnector().setProperty("address", "127.0.0.1");
        StandardContext context = (StandardContext) tomcat.addContext("", baseDir.toString());
        context.setParentClassLoader(classes);
        // Nothing here is annotated, and Debian's embedded Tomcat comes without the annotations API.
        context.setIgnoreAnnotations(true);
        // Leak checks that need the JDK opened to Tomcat; the one for threads left running stays.
        context.setClearReferencesObjectStreamClassCaches(false);
        context.setClearReferencesRmiTargets(false);
        context.setClearReferencesThreadLocals(false);
        context.addServletContainerInitializer(application, null);
        tomcat.start();
        return new LoopbackTomcat(tomcat, baseDir);
    }

    /**
     * The port Tomcat listens on.
     *
     * @return the loopback port
     */
    public int port() {
        return tomcat.getConnector().getLocalPort();
    }

    /**
     * Stops Tomcat and removes its base folder.
     *
     * @throws IOException when it does not stop, or the folder cannot be removed
     */
    @Override
    public void close() throws IOException {
        try {
            tomcat.stop();
            tomcat.destroy();
        } catch (LifecycleException e) {
            throw new IOException("Tomcat did not stop", e);
        }
        try (Stream<Path> files = Files.walk(baseDir)) {
            for (Path file : files.sorted(Comparator.reverseOrder()).toList()) {
                Files.delete(file);
            }
        }
    }
}
