package vorkel.test;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.InputStream;
import java.net.URL;
import java.util.function.BooleanSupplier;

import vorkel.runtime.agent.bootstrap.Agent;
import vorkel.runtime.agent.exceptions.VorkelException;

/**
 * What the scenario groups share: the "RESULT key=value" lines the JVM tests read, what the Java
 * logger saw, exceptions as text, the tests jar, class file bytes and collection rounds.
 */
final class Harness {
    private Harness() {
    }

    static void result(String key, Object value) {
        System.out.println("RESULT " + key + "=" + value);
        System.out.flush();
    }

    static boolean loggerSaw(String part) {
        for (String line : Agent.logger().lines()) {
            if (line.contains(part)) {
                return true;
            }
        }
        return false;
    }

    /** "none", "VorkelException:MESSAGE" or "CLASS:MESSAGE" for what the action threw. */
    static String exceptionOf(Runnable action) {
        try {
            action.run();
            return "none";
        } catch (VorkelException e) {
            return "VorkelException:" + e.getMessage();
        } catch (Throwable e) {
            return e.getClass().getName() + ":" + e.getMessage();
        }
    }

    /** The tests jar on the class path, for class loaders of their own. */
    static URL testJar() throws Exception {
        for (String entry : System.getProperty("java.class.path").split(File.pathSeparator)) {
            if (entry.contains("vorkel-tests")) {
                return new File(entry).toURI().toURL();
            }
        }
        throw new IllegalStateException("tests jar not on the class path");
    }

    /** The bytes of a class file of the tests jar, by absolute resource name ("/vorkel/test/X.class"). */
    static byte[] classBytes(String resource) throws Exception {
        try (InputStream in = Harness.class.getResourceAsStream(resource)) {
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            byte[] buffer = new byte[8192];
            for (int n; (n = in.read(buffer)) > 0;) {
                out.write(buffer, 0, n);
            }
            return out.toByteArray();
        }
    }

    static byte[] classBytes(Class<?> type) throws Exception {
        return classBytes("/" + type.getName().replace('.', '/') + ".class");
    }

    /**
     * Collects garbage and makes the tagging environment post the ObjectFree events of what was
     * collected (flush: a heap call posts them before it returns) until the condition holds; the
     * number of rounds, or -1 after maxRounds. A second round is needed only when the JVM's
     * service thread took the events first and was still delivering them.
     */
    static int collectUntil(int maxRounds, Runnable flush, BooleanSupplier condition) {
        for (int round = 1; round <= maxRounds; round++) {
            System.gc();
            flush.run();
            if (condition.getAsBoolean()) {
                return round;
            }
            Thread.yield();
        }
        return -1;
    }
}
