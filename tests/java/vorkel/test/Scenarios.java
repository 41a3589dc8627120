package vorkel.test;

import java.lang.reflect.Field;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.CountDownLatch;

import vorkel.runtime.agent.bootstrap.Agent;
import vorkel.runtime.agent.tools.reflection.JniReflectionNativeImpl;
import vorkel.runtime.agent.tools.timings.VorkelClockNativeImpl;

import static vorkel.test.Harness.exceptionOf;
import static vorkel.test.Harness.loggerSaw;
import static vorkel.test.Harness.result;

/**
 * In-JVM halves of the JVM tests. Each scenario prints "RESULT key=value" lines that the test
 * checks; the agent was started by the agent jar's premain (or is started here).
 */
public final class Scenarios {
    private Scenarios() {
    }

    public static void main(String[] args) throws Exception {
        String scenario = args.length > 0 ? args[0] : "start";
        switch (scenario) {
            case "start":
                start();
                break;
            case "manual_start":
                result("start", Agent.start(args.length > 1 ? args[1] : ""));
                start();
                break;
            case "null_arguments":
                nullArguments();
                break;
            case "jvmti_error":
                jvmtiError();
                break;
            case "after_death":
                afterDeath();
                break;
            case "logging":
                logging();
                break;
            case "reflection":
                reflection();
                break;
            case "clock":
                clock();
                break;
            case "helpers":
                helpers();
                break;
            case "idle":
                Thread.sleep(Long.parseLong(args[1]));
                break;
            default:
                runNamed(scenario, args);
                break;
        }
        System.out.flush();
    }

    /** "Class.method": the static method vorkel.test.Class.method(String[] args) of another test group. */
    static void runNamed(String scenario, String[] args) throws Exception {
        int dot = scenario.lastIndexOf('.');
        if (dot < 0) {
            throw new IllegalArgumentException("unknown scenario " + scenario);
        }
        Class<?> group = Class.forName("vorkel.test." + scenario.substring(0, dot));
        try {
            group.getMethod(scenario.substring(dot + 1), String[].class).invoke(null, (Object) args);
        } catch (java.lang.reflect.InvocationTargetException e) {
            if (e.getCause() instanceof Exception) {
                throw (Exception) e.getCause();
            }
            throw e;
        }
    }

    static void start() {
        result("start", Agent.startResult());
        result("second_start", Agent.initialiser().startNativeAgent(0));
        result("loaded_by_system_load", Agent.loadedBySystemLoad());
        result("logger_has_banner", loggerSaw("Vorkel native logging started. Native agent version 19.12.13.2106 build 2106"));
    }

    static void nullArguments() {
        result("configure_null", exceptionOf(() -> Agent.initialiser().configure(null, 1, "a", "j", "s", "/h", "/w",
                "java", "jar", "self", new String[0], "vm", "1", "")));
        result("configure_null_pattern", exceptionOf(() -> Agent.initialiser().configure("h", 1, "a", "j", "s", "/h",
                "/w", "java", "jar", "self", new String[0], "vm", "1", null)));
        result("oom_queries_null", exceptionOf(() -> Agent.initialiser().configureOomQueries(null, 1, "d", true, true)));
        result("logging_null_logger", exceptionOf(() -> Agent.initialiser().initNativeLogging(null, "agent")));
        result("logging_null_role", exceptionOf(() -> Agent.initialiser().initNativeLogging(Agent.logger(), null)));
        result("still_configured_host", NativeProbe.configuredText("collector_host"));
        result("arguments_with_null", exceptionOf(() -> Agent.initialiser().configure("h2", 2, "a", "j", "s", "/h",
                "/w", "java", "jar", "self", new String[] {"-Da", null}, "vm", "1", "")));
        result("argument_count_after_null", NativeProbe.configuredText("jvm_argument_count"));
        result("is_hotspot", NativeProbe.configuredText("is_hotspot"));
        Agent.initialiser().configure("h3", 3, "a", "j", "s", "/h", "/w", "java", "jar", "self",
                new String[] {"-Da", "-Db"}, "Eclipse OpenJ9 VM (IBM J9 inside)", "1", "");
        result("j9_flag", NativeProbe.configuredText("is_j9") + NativeProbe.configuredText("is_hotspot"));
        result("argument_count", NativeProbe.configuredText("jvm_argument_count"));
    }

    static void jvmtiError() {
        result("error_zero", NativeProbe.checkJvmtiError(0, "nothing", true));
        result("error_thrown", exceptionOf(() -> NativeProbe.checkJvmtiError(10, "probe message", true)));
        result("error_quiet", exceptionOf(() -> {
            if (NativeProbe.checkJvmtiError(10, "quiet message", false)) {
                throw new IllegalStateException("check passed");
            }
        }));
        // A code no JVMTI version assigns; jvmtiError holds 0..127 only, a larger one would be no jvmtiError at all.
        result("error_unknown_code", exceptionOf(() -> NativeProbe.checkJvmtiError(120, "odd code", true)));
    }

    static void afterDeath() throws Exception {
        Thread thread = new Thread(() -> NativeProbe.checkUntilDead(3), "after-death");
        thread.setDaemon(true);
        thread.start();
        Thread.sleep(200);
        result("main_done", true);
    }

    static void logging() throws Exception {
        NativeProbe.log(1, "probe: runnable info line", true);
        NativeProbe.log(0, "probe: debug line without jni", false);
        NativeProbe.log(3, "probe: error line with jni", true);
        StringBuilder longText = new StringBuilder();
        for (int i = 0; i < 2000; i++) {
            longText.append((char) ('a' + i % 26));
        }
        NativeProbe.log(1, longText.toString(), true);
        result("java_saw_runnable", loggerSaw("probe: runnable info line"));
        result("java_saw_without_jni", loggerSaw("probe: debug line without jni"));
        result("java_saw_error", loggerSaw("ERROR probe: error line with jni"));
        int longest = 0;
        for (String line : Agent.logger().lines()) {
            if (line.startsWith("INFO abcdefghij")) {
                longest = Math.max(longest, line.length() - "INFO ".length());
            }
        }
        result("java_long_length", longest);
        // The caller's pending exception stays pending, and the line goes to the native log only.
        String pending = "none";
        try {
            NativeProbe.logWithPendingException("probe: logged with an exception pending");
        } catch (IllegalStateException expected) {
            pending = expected.getMessage();
        }
        result("pending_exception_kept", pending);
        result("java_saw_pending", loggerSaw("probe: logged with an exception pending"));

        result("contended_probe", NativeProbe.logOnContendedEnter());
        Object lock = new Object();
        CountDownLatch held = new CountDownLatch(1);
        CountDownLatch release = new CountDownLatch(1);
        Thread holder = new Thread(() -> {
            synchronized (lock) {
                held.countDown();
                try {
                    release.await();
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }
        });
        holder.start();
        held.await();
        Thread contender = new Thread(() -> {
            synchronized (lock) {
                lock.hashCode();
            }
        });
        contender.start();
        while (contender.getState() != Thread.State.BLOCKED) {
            Thread.sleep(5);
        }
        Thread.sleep(50);
        release.countDown();
        holder.join();
        contender.join();
        result("java_saw_blocked", loggerSaw("probe: contended enter logged from a blocked thread"));
    }

    static void reflection() throws Exception {
        Field value = String.class.getDeclaredField("value");
        result("accessible_before", value.canAccess("text"));
        result("made_accessible", JniReflectionNativeImpl.makeAccessible(value));
        Object bytes = value.get("text");
        result("read_private", bytes != null);
        Field hash = String.class.getDeclaredField("hash");
        JniReflectionNativeImpl.makeAccessibleInternal(0, hash);
        result("zero_id_changes_nothing", !hash.canAccess("text"));
        long id = JniReflectionNativeImpl.prepareInternal(java.lang.reflect.AccessibleObject.class);
        result("wrong_object", exceptionOf(() -> JniReflectionNativeImpl.makeAccessibleInternal(id, "not reflective")));
        result("unknown_id", exceptionOf(() -> JniReflectionNativeImpl.makeAccessibleInternal(12345, hash)));
        result("null_object", exceptionOf(() -> JniReflectionNativeImpl.makeAccessibleInternal(id, null)));
        result("null_class", exceptionOf(() -> JniReflectionNativeImpl.prepareInternal(null)));
        result("missing_field", exceptionOf(() -> JniReflectionNativeImpl.prepareInternal(Object.class)));
    }

    static void helpers() throws Exception {
        Thread thread = NativeProbe.allocThread("vorkel probe thread");
        result("thread_name", thread == null ? "null" : thread.getName());
        result("thread_state", thread == null ? "null" : thread.getState());
        result("raw_monitor", NativeProbe.rawMonitorRoundTrip());
    }

    static void clock() throws Exception {
        long java = System.currentTimeMillis();
        long nativeNow = VorkelClockNativeImpl.getMillisFromPerfCounter();
        result("clock_close", Math.abs(nativeNow - java) < 1000);
        long before = VorkelClockNativeImpl.getMillisFromPerfCounter();
        VorkelClockNativeImpl.initNativeTime(java - 3_600_000);
        long after = VorkelClockNativeImpl.getMillisFromPerfCounter();
        result("not_backwards", after >= before);
        Thread.sleep(20);
        result("still_not_backwards", VorkelClockNativeImpl.getMillisFromPerfCounter() >= after);
        VorkelClockNativeImpl.initNativeTime(java + 3_600_000);
        long forward = VorkelClockNativeImpl.getMillisFromPerfCounter();
        result("forward_anchor", forward - (java + 3_600_000) < 1000 && forward >= java + 3_600_000);
    }
}
