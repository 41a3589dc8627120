package vorkel.test;

import java.lang.ref.SoftReference;
import java.net.URLClassLoader;

import static vorkel.test.Harness.result;

/** In-JVM half of the VM structure reader's tests on the JVM that runs them. */
public final class VmStructs {
    private VmStructs() {
    }

    static void results(String lines) {
        for (String line : lines.split("\n")) {
            int equals = line.indexOf('=');
            result(line.substring(0, equals), line.substring(equals + 1));
        }
    }

    public static void reader(String[] args) {
        results(VmStructsProbe.exports());
        results(VmStructsProbe.classes(new Class<?>[] {String.class, Class.class, SoftReference.class,
                URLClassLoader.class, int[].class, Object[].class}));
        // Injected fields (Class), generic ones (HashMap), constants (Integer), contended ones (Thread).
        results(VmStructsProbe.members(new Class<?>[] {String.class, Class.class, java.util.HashMap.class,
                Integer.class, Thread.class, Throwable.class, VmStructs.class}));
        results(VmStructsProbe.safeReads());
        result("alive", true);
    }
}
