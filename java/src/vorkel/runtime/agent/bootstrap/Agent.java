package vorkel.runtime.agent.bootstrap;

import java.io.File;
import java.lang.instrument.Instrumentation;
import java.lang.management.ManagementFactory;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

import vorkel.runtime.agent.feature.io.file.FileStreamTrackerNativeImpl;
import vorkel.runtime.agent.instrumentation.deferred.DeferredTransformationNativeImpl;
import vorkel.runtime.agent.probes.gc.CollectionLog;
import vorkel.runtime.agent.probes.gc.GarbageCollectionNativeImpl;
import vorkel.runtime.agent.tools.timings.VorkelClockNativeImpl;

/**
 * Brings the native agent up from the agent jar: either loaded with -agentpath (the natives are
 * already bound) or, without it, by loading the library itself. Options: see {@link AgentOptions}.
 *
 * <p>Into a running JVM the agent comes the same way: the library loaded by the JVM's attach
 * mechanism calls {@link #startAttached} once the JVM has bound its natives, and the jar loaded by
 * that mechanism calls {@link #agentmain}, which loads the library itself. A JVM runs the agent
 * once: a later start (another attach, or an attach into a JVM started with the agent) changes
 * nothing. The started agent publishes its state as system properties (vorkel.agent.*).
 */
public final class Agent {
    /** What {@link #startAttached} answers while the JVM has not bound the library's natives yet. */
    public static final int NOT_BOUND = Integer.MIN_VALUE + 1;
    /** What {@link #start} answers when another copy of the agent (another class loader) runs in this JVM. */
    public static final int ANOTHER_AGENT = -2;
    public static final String VERSION_PROPERTY = "vorkel.agent.version";
    public static final String HOME_PROPERTY = "vorkel.agent.home";
    public static final String WORK_PROPERTY = "vorkel.agent.work";
    public static final String STATE_PROPERTY = "vorkel.agent.state";
    public static final String ATTACHED_PROPERTY = "vorkel.agent.attached";

    private static volatile AgentLogger logger;
    private static volatile NativeAgentInitialiser initialiser;
    private static volatile DeferredTransformationNativeImpl deferred;
    private static volatile GarbageCollectionNativeImpl garbageCollection;
    private static volatile AgentOptions transactionOptions;
    private static volatile int startResult = Integer.MIN_VALUE;
    private static volatile boolean loadedBySystemLoad;

    private Agent() {
    }

    public static void premain(String options, Instrumentation instrumentation) {
        start(options);
    }

    public static void agentmain(String options, Instrumentation instrumentation) {
        start(options);
    }

    /**
     * The start of an agent library loaded into the running JVM, called by its Agent_OnAttach from
     * the thread "vorkel attach": {@link #NOT_BOUND} while the JVM has not bound the library's
     * natives yet (it does once Agent_OnAttach returned), then the result of {@link #start}.
     */
    public static int startAttached(String options) {
        try {
            new NativeAgentInitialiser().loadedIntoRunningJvm();
        } catch (UnsatisfiedLinkError notYetBound) {
            return NOT_BOUND;
        }
        return start(options);
    }

    /** Runs the start-up sequence once; returns the result of startNativeAgent. */
    public static synchronized int start(String optionText) {
        if (startResult != Integer.MIN_VALUE) {
            if (logger != null) {
                logger.info("The agent already runs in this JVM; a start with the options \"" + optionText
                        + "\" changed nothing.");
            }
            return startResult;
        }
        if (System.getProperty(HOME_PROPERTY) != null) {
            // Another copy of the agent jar, in another class loader, runs the agent here.
            return ANOTHER_AGENT;
        }
        AgentOptions options = new AgentOptions(optionText);
        File libDir = AgentOptions.jarDirectory();
        File home = new File(options.get("home", libDir.getAbsoluteFile().getParent()));
        File work = new File(options.get("work", new File(home, "work").getPath()));
        work.mkdirs();
        publishStart(home, work);
        String library = options.get("lib", new File(libDir, System.mapLibraryName("vorkel")).getAbsolutePath());
        String host = options.get("host", "127.0.0.1");
        int port = options.getInt("port", 9);

        logger = new AgentLogger(options.getBoolean("echo", false));
        initialiser = new NativeAgentInitialiser();
        try {
            initialiser.initNativeLogging(logger, "agent");
        } catch (UnsatisfiedLinkError notLoaded) {
            System.load(library);
            loadedBySystemLoad = true;
            initialiser.initNativeLogging(logger, "agent");
        }
        VorkelClockNativeImpl.initNativeTime(System.currentTimeMillis());
        String java = new File(new File(System.getProperty("java.home"), "bin"), "java").getPath();
        String[] forkArguments = forkArguments(options.get("forkargs", ""), host, port, library);
        initialiser.configure(host, port, options.get("account", "account"), options.get("jvm", "jvm"),
                options.get("session", "session"), home.getPath(), work.getPath(), options.get("java", java),
                AgentOptions.jarFile().getPath(), library, forkArguments,
                System.getProperty("java.vm.name", ""), System.getProperty("java.vm.version", ""),
                crashLogPattern(options.get("errorfile", null)));
        initialiser.configureOomQueries(host, port, options.get("details", work.getPath()),
                options.getBoolean("notifications", true), options.getBoolean("safety", true));
        startResult = initialiser.startNativeAgent(options.getLong("disabled", 0));
        publishResult(startResult);
        if (startResult == 0) {
            // The array header sizes were measured by the native start, before any instance can be
            // recorded. Transactions read their options at their first use: a JVM that has none never
            // loads their classes.
            deferred = new DeferredTransformationNativeImpl();
            deferred.attach();
            if (options.getBoolean("filestreams", false)) {
                FileStreamTrackerNativeImpl.instance().setEnabled(true);
            }
            if (options.getBoolean("transactions", true)) {
                transactionOptions = options;
            }
            if (options.getBoolean("gc", true)) {
                startGcReports(options.getInt("gcreport", 1000));
            }
        }
        return startResult;
    }

    /** The agent's home, work directory and version as system properties, which the attach mechanism lists. */
    private static void publishStart(File home, File work) {
        String version = Agent.class.getPackage() != null ? Agent.class.getPackage().getImplementationVersion() : null;
        System.setProperty(VERSION_PROPERTY, version != null ? version : "unknown");
        System.setProperty(HOME_PROPERTY, home.getAbsolutePath());
        System.setProperty(WORK_PROPERTY, work.getAbsolutePath());
        System.setProperty(STATE_PROPERTY, "starting");
    }

    private static void publishResult(int result) {
        boolean attached = false;
        try {
            attached = initialiser.loadedIntoRunningJvm();
        } catch (LinkageError olderLibrary) {
            // A library without the call was loaded at the JVM's start.
        }
        System.setProperty(ATTACHED_PROPERTY, String.valueOf(attached));
        System.setProperty(STATE_PROPERTY, result == 0 ? "started" : "failed: the native agent's start returned " + result);
    }

    /** Collection counts (and the J9 verbose-GC records where the JVM offers them) reach the logger. */
    private static void startGcReports(int every) {
        GarbageCollectionNativeImpl gc = new GarbageCollectionNativeImpl();
        gc.addListener(new CollectionLog(logger, every));
        gc.attach();
        gc.enableGcFinishNotifications();
        gc.enableJ9GcNotifications();
        garbageCollection = gc;
    }

    /**
     * The uploader fork's JVM arguments: the "forkargs" option (";"-separated), then what the fork needs
     * to pack and send a snapshot: the collector's address and the native library.
     */
    static String[] forkArguments(String configured, String host, int port, String library) {
        List<String> arguments = new ArrayList<>();
        if (!configured.isEmpty()) {
            arguments.addAll(Arrays.asList(configured.split(";")));
        }
        arguments.add("-Dvorkel.collector.host=" + host);
        arguments.add("-Dvorkel.collector.port=" + port);
        arguments.add("-Dvorkel.library=" + library);
        return arguments.toArray(new String[0]);
    }

    /**
     * The crash log pattern the exit monitor searches first: the "errorfile" option, else the JVM's
     * -XX:ErrorFile (the last one given, as the JVM takes it), else "".
     */
    private static String crashLogPattern(String configured) {
        if (configured != null) {
            return configured;
        }
        String[] arguments = null;
        try {
            arguments = initialiser.vmArguments();
        } catch (LinkageError olderLibrary) {
            // A library without the call: the management bean lists the same arguments.
        }
        if (arguments == null) {
            arguments = managementInputArguments();
        }
        String pattern = "";
        for (String argument : arguments) {
            if (argument.startsWith("-XX:ErrorFile=")) {
                pattern = argument.substring("-XX:ErrorFile=".length());
            }
        }
        return pattern;
    }

    /** The JVM's input arguments as the runtime bean lists them; none without management support. */
    private static String[] managementInputArguments() {
        try {
            return ManagementFactory.getRuntimeMXBean().getInputArguments().toArray(new String[0]);
        } catch (RuntimeException | LinkageError e) {
            // No management support: the exit monitor falls back to the JVM's default locations.
            return new String[0];
        }
    }

    public static AgentLogger logger() {
        return logger;
    }

    public static NativeAgentInitialiser initialiser() {
        return initialiser;
    }

    public static DeferredTransformationNativeImpl deferred() {
        return deferred;
    }

    /** The receiver of the agent's GC reports, or null when "gc=false" or the start failed. */
    public static GarbageCollectionNativeImpl garbageCollection() {
        return garbageCollection;
    }

    /**
     * The options of a started agent that follows transactions ("transactions" not false), which
     * {@code Transactions} reads at its first use; null otherwise.
     */
    public static AgentOptions transactionOptions() {
        return transactionOptions;
    }

    public static int startResult() {
        return startResult;
    }

    public static boolean loadedBySystemLoad() {
        return loadedBySystemLoad;
    }
}
