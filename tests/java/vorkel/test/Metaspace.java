package vorkel.test;

import java.io.File;
import java.io.IOException;
import java.net.URL;
import java.net.URLClassLoader;
import java.util.ArrayList;
import java.util.List;
import java.util.function.IntSupplier;
import java.util.function.Supplier;

import vorkel.runtime.agent.oom.HeapDumpTrigger;

import static vorkel.test.Harness.result;

/**
 * Class metadata of plugins: class loaders of their own (one class each, so that the JVM's own
 * per-loader figures name them) with records, lambdas and annotations from the plugins jar, and
 * one that defines thousands of classes made at run time; and a loader leak that fills a bounded
 * metaspace.
 */
public final class Metaspace {
    private Metaspace() {
    }

    /** Loads the records plugin. */
    public static final class RecordsLoader extends URLClassLoader {
        RecordsLoader(URL jar) {
            super("records", new URL[] {jar}, ClassLoader.getPlatformClassLoader());
        }
    }

    /** Loads the lambdas plugin. */
    public static final class LambdasLoader extends URLClassLoader {
        LambdasLoader(URL jar) {
            super("lambdas", new URL[] {jar}, ClassLoader.getPlatformClassLoader());
        }
    }

    /** Loads the annotations plugin. */
    public static final class AnnotatedLoader extends URLClassLoader {
        AnnotatedLoader(URL jar) {
            super("annotated", new URL[] {jar}, ClassLoader.getPlatformClassLoader());
        }
    }

    /** Defines classes made at run time. */
    public static final class GeneratedLoader extends ClassLoader {
        GeneratedLoader(String name) {
            super(name, ClassLoader.getPlatformClassLoader());
        }

        Class<?> define(String name, int fields, int methods) {
            byte[] bytes = ClassMaker.make(name.replace('.', '/'), fields, methods);
            return defineClass(name, bytes, 0, bytes.length);
        }
    }

    /** One deployment of an application that is redeployed again and again. */
    public static final class DeploymentLoader extends ClassLoader {
        DeploymentLoader(int round) {
            super("deployment-" + round, ClassLoader.getPlatformClassLoader());
        }

        Object handler(int index) throws Exception {
            String name = "vorkel.deployed.Handler" + index;
            byte[] bytes = ClassMaker.make(name.replace('.', '/'), 6, 20);
            return defineClass(name, bytes, 0, bytes.length).getDeclaredConstructor().newInstance();
        }
    }

    /** What the plugins made, kept alive until the snapshot. */
    static final List<Object> KEPT = new ArrayList<>();

    static URL pluginsJar() throws Exception {
        File tests = new File(Harness.testJar().toURI());
        return new File(tests.getParentFile(), "vorkel-plugins.jar").toURI().toURL();
    }

    static String runPlugin(ClassLoader loader, String name) throws Exception {
        @SuppressWarnings("unchecked")
        Supplier<String> plugin = (Supplier<String>) loader.loadClass(name).getDeclaredConstructor().newInstance();
        String text = "";
        for (int i = 0; i < 3; i++) {
            text = plugin.get();
        }
        KEPT.add(plugin);
        return text;
    }

    /** Each of the count classes instantiated and called, so that it is linked and initialised. */
    static int generate(GeneratedLoader loader, String prefix, int count) throws Exception {
        int sum = 0;
        for (int i = 0; i < count; i++) {
            Class<?> type = loader.define(prefix + i, 2 + i % 9, 1 + i % 13);
            IntSupplier instance = (IntSupplier) type.getDeclaredConstructor().newInstance();
            sum += instance.getAsInt();
            KEPT.add(instance);
        }
        return sum;
    }

    static void jcmd(String command, File output) throws IOException, InterruptedException {
        String jcmd = new File(new File(System.getProperty("java.home"), "bin"), "jcmd").getPath();
        List<String> line = new ArrayList<>(List.of(jcmd, Long.toString(ProcessHandle.current().pid())));
        line.addAll(List.of(command.split(" ")));
        Process process = new ProcessBuilder(line).redirectErrorStream(true).redirectOutput(output).start();
        result("jcmd_" + command.split(" ")[0], process.waitFor());
    }

    /**
     * args[1]: the number of generated classes; args[2]: the directory for the JVM's own figures,
     * taken right before and right after the snapshot ("metaspace-before.txt", "-after.txt", and
     * "classes.txt" from VM.classes where the JVM has it).
     */
    public static void plugins(String[] args) throws Exception {
        int generated = Integer.parseInt(args[1]);
        File out = new File(args[2]);
        URL jar = pluginsJar();
        result("records", runPlugin(new RecordsLoader(jar), "vorkel.plugins.records.Plugin"));
        result("lambdas", runPlugin(new LambdasLoader(jar), "vorkel.plugins.lambdas.Plugin"));
        result("annotated", runPlugin(new AnnotatedLoader(jar), "vorkel.plugins.annotated.Plugin"));
        result("generated", generate(new GeneratedLoader("generated"), "vorkel.generated.G", generated));
        // Quiet for a moment: the compiler threads finish what the calls above gave them.
        Thread.sleep(500);
        jcmd("VM.metaspace show-loaders scale=1", new File(out, "metaspace-before.txt"));
        result("taken", HeapDumpTrigger.triggerHeapDump("metaspace of plugins"));
        jcmd("VM.metaspace show-loaders scale=1", new File(out, "metaspace-after.txt"));
        if (Runtime.version().feature() >= 21) {
            jcmd("VM.classes", new File(out, "classes.txt"));
        }
        result("kept", KEPT.size());
    }

    /**
     * The cost of full class sizes: the plugins and args[2] generated classes, then args[1] rounds
     * of two requested snapshots, one with the VM structures and one without (through JVMTI, class
     * sizes without metadata), each announced as "RESULT roundN=full|partial" before it is taken.
     */
    public static void cost(String[] args) throws Exception {
        int rounds = Integer.parseInt(args[1]);
        URL jar = pluginsJar();
        runPlugin(new RecordsLoader(jar), "vorkel.plugins.records.Plugin");
        runPlugin(new LambdasLoader(jar), "vorkel.plugins.lambdas.Plugin");
        runPlugin(new AnnotatedLoader(jar), "vorkel.plugins.annotated.Plugin");
        generate(new GeneratedLoader("generated"), "vorkel.generated.G", Integer.parseInt(args[2]));
        int snapshot = 0;
        for (int round = 0; round < rounds; round++) {
            for (boolean full : new boolean[] {true, false}) {
                VmStructsProbe.useVmStructures(full);
                result("round" + snapshot++, full ? "full" : "partial");
                HeapDumpTrigger.triggerHeapDump("cost of class sizes");
            }
        }
        VmStructsProbe.useVmStructures(true);
    }

    /**
     * The leak of a redeployed application: every round a new loader with 50 handler classes, one
     * of whose instances stays in a list that outlives the deployments, until the metaspace
     * (bounded by -XX:MaxMetaspaceSize) is exhausted and the agent takes its snapshot.
     */
    public static void leak(String[] args) throws Exception {
        List<Object> registry = new ArrayList<>();
        int rounds = 0;
        try {
            for (;; rounds++) {
                DeploymentLoader loader = new DeploymentLoader(rounds);
                for (int i = 0; i < 50; i++) {
                    Object handler = loader.handler(i);
                    if (i == 0) {
                        registry.add(handler);
                    }
                }
            }
        } catch (OutOfMemoryError e) {
            // The snapshot was taken; what follows needs metaspace again.
            int leaked = registry.size();
            registry.clear();
            System.gc();
            result("error", e.getMessage());
            result("leaked", leaked);
        }
    }
}
