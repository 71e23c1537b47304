# The Debian jars the Java test suites compile and run with: JUnit 5's
# console launcher, and the embedded Tomcat 10 in which the servlet filter's
# tests run it (it provides the Servlet API too).
set(JUNIT_CONSOLE_JAR /usr/share/java/junit-platform-console-standalone.jar)
if(NOT EXISTS ${JUNIT_CONSOLE_JAR})
  message(FATAL_ERROR "JUnit 5 is missing: install the Debian package junit5")
endif()
set(TOMCAT_EMBED_JAR /usr/share/java/tomcat10-embed-core.jar)
if(NOT EXISTS ${TOMCAT_EMBED_JAR})
  message(FATAL_ERROR "Tomcat 10 is missing: install the Debian package libtomcat10-embed-java")
endif()
