package vorkel.test;

import java.io.File;
import java.lang.ref.WeakReference;
import java.net.URL;
import java.net.URLClassLoader;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.CountDownLatch;
import java.util.function.Supplier;
import java.util.regex.Pattern;

import vorkel.runtime.agent.bootstrap.Agent;
import vorkel.runtime.agent.bootstrap.AgentLogger;
import vorkel.runtime.agent.bootstrap.NativeAgentInitialiser;
import vorkel.runtime.agent.instrumentation.ClassLoadingNativeImpl;
import vorkel.runtime.agent.instrumentation.deferred.DeferredTransformationNativeImpl;

import static vorkel.test.Harness.classBytes;
import static vorkel.test.Harness.exceptionOf;
import static vorkel.test.Harness.result;
import static vorkel.test.Harness.testJar;

/** In-JVM halves of the tests of object tags, the class loader tracker, thread records and stacks. */
public final class TagsThreads {
    private TagsThreads() {
    }

    static final Pattern STACK_LINE = Pattern.compile("L[^;\\s]+;\\.[^:\\s]+:-?\\d+\\(-?\\d+\\)");

    static String hex(long value) {
        return String.format("0x%016x", value);
    }

    static int kind(long tag) {
        return (int) ((tag & 0xFFFFFFFFL) >>> 19);
    }

    /** The tracker's (tag, first seen, temporary tag) of a loader tag, or null. */
    static long[] tracked(long tag) {
        long[] all = TagThreadProbe.trackedLoaders();
        for (int i = 0; i + 2 < all.length; i += 3) {
            if (all[i] == tag) {
                return new long[] {all[i], all[i + 1], all[i + 2]};
            }
        }
        return null;
    }

    /** Collection rounds until the object is gone and the tracker forgot its loader tag. */
    static int roundsUntilForgotten(long tag, WeakReference<?> object) {
        return Harness.collectUntil(200, TagThreadProbe::flushObjectFree, () -> object.get() == null && tracked(tag) == null);
    }

    // ------------------------------------------------------------------------------------------
    // Class loaders

    public static void loaders(String[] args) throws Exception {
        long appTag = TagThreadProbe.tagOf(ClassLoader.getSystemClassLoader());
        result("app_loader_tag", hex(appTag));
        result("app_loader_tracked", tracked(appTag) != null);

        List<String> linked = Collections.synchronizedList(new ArrayList<>());
        boolean[] sawBootstrap = new boolean[1];
        Agent.deferred().addListener((loader, type) -> {
            if (loader == null) {
                sawBootstrap[0] = true;
            }
            linked.add(type.getName() + "@" + System.identityHashCode(loader));
        });

        URLClassLoader custom = new URLClassLoader(new URL[] {testJar()}, null);
        Class<?> first = Class.forName("vorkel.test.CustomLoaded", true, custom);
        long customTag = TagThreadProbe.tagOf(custom);
        long[] entry = tracked(customTag);
        result("custom_loader_kind", kind(customTag));
        result("custom_loader_number_above_app", (customTag >>> 32) > (appTag >>> 32));
        result("custom_loader_tracked", entry != null && entry[1] != 0);
        Class<?> second = Class.forName("vorkel.test.CustomLoaded$Second", true, custom);
        long[] again = tracked(customTag);
        result("first_seen_kept", entry != null && again != null && again[1] == entry[1] && second != null);
        result("tag_kept", TagThreadProbe.tagOf(custom) == customTag);
        result("linked_custom", linked.contains("vorkel.test.CustomLoaded@" + System.identityHashCode(custom)));

        int trackedBefore = TagThreadProbe.trackedLoaders().length / 3;
        Class<?> boot = Class.forName("java.util.concurrent.Exchanger");
        result("bootstrap_loaded", boot.getClassLoader() == null);
        boolean exchangerLinked = false;
        synchronized (linked) {
            for (String name : linked) {
                exchangerLinked |= name.startsWith("java.util.concurrent.Exchanger@");
            }
        }
        result("bootstrap_not_linked", !sawBootstrap[0] && !exchangerLinked);
        result("bootstrap_not_tracked", TagThreadProbe.trackedLoaders().length / 3 == trackedBefore);

        // Re-keying, as the statistics do when a tracked loader becomes a followed instance.
        URLClassLoader rekeyed = new URLClassLoader(new URL[] {testJar()}, null);
        Class.forName("vorkel.test.CustomLoaded", true, rekeyed);
        long rekeyedTag = TagThreadProbe.tagOf(rekeyed);
        long[] before = tracked(rekeyedTag);
        long statisticsTag = (7L << 32) | (40L << 19) | 3;
        TagThreadProbe.updateTag(rekeyedTag, statisticsTag);
        long[] after = tracked(statisticsTag);
        result("update_moves_entry", tracked(rekeyedTag) == null && after != null && before != null
                && after[1] == before[1]);
        TagThreadProbe.updateTag(rekeyedTag, 12345);  // no entry for the old tag: nothing happens
        result("update_of_unknown_ignored", tracked(12345) == null);
        TagThreadProbe.updateTag(statisticsTag, rekeyedTag);
        rekeyed.close();

        // A dropped loader is forgotten once the JVM frees it.
        WeakReference<ClassLoader> weak = new WeakReference<>(custom);
        custom.close();
        custom = null;
        first = null;
        second = null;
        int rounds = roundsUntilForgotten(customTag, weak);
        result("collected_rounds", rounds);
        result("collected_forgotten", rounds > 0);
        result("app_loader_still_tracked", tracked(appTag) != null);

        // While a snapshot has the loader under a temporary tag, its ObjectFree still reaches the
        // tracker with the permanent tag.
        URLClassLoader hidden = new URLClassLoader(new URL[] {testJar()}, null);
        Class.forName("vorkel.test.CustomLoaded", true, hidden);
        long hiddenTag = TagThreadProbe.tagOf(hidden);
        long temporary = TagThreadProbe.hideUnderTemporaryTag(hidden);
        result("temporary_kind", kind(temporary));
        result("temporary_on_object", TagThreadProbe.tagOf(hidden) == temporary);
        result("temporary_translates", TagThreadProbe.permanentTag(temporary) == hiddenTag);
        TagThreadProbe.storeTemporaryTag(hiddenTag, temporary);
        long[] hiddenEntry = tracked(hiddenTag);
        result("temporary_stored", hiddenEntry != null && hiddenEntry[2] == temporary);
        int loadersBefore = TagThreadProbe.trackedLoaders().length / 3;
        Class.forName("vorkel.test.CustomLoaded$Second", true, hidden);
        result("prepare_under_temporary_keeps_key", TagThreadProbe.tagOf(hidden) == temporary
                && TagThreadProbe.trackedLoaders().length / 3 == loadersBefore && tracked(hiddenTag) != null);
        WeakReference<ClassLoader> hiddenWeak = new WeakReference<>(hidden);
        hidden.close();
        hidden = null;
        int hiddenRounds = roundsUntilForgotten(hiddenTag, hiddenWeak);
        result("temporary_collected_forgotten", hiddenRounds > 0);
        TagThreadProbe.dropBackup();
    }

    /** A receiver of class loads of the test's own. */
    static final class CountingReceiver extends DeferredTransformationNativeImpl {
        final List<String> seen = Collections.synchronizedList(new ArrayList<>());
        volatile boolean sawNullLoader;

        @Override
        public void onClassLinked(ClassLoader loader, Class<?> linked) {
            if (loader == null) {
                sawNullLoader = true;
            }
            seen.add(linked.getName());
        }
    }

    /** Run without the agent jar: the natives are started here, and attach comes last. */
    public static void beforeAttach(String[] args) throws Exception {
        String home = args[1];
        String library = args[2];
        NativeAgentInitialiser initialiser = new NativeAgentInitialiser();
        initialiser.initNativeLogging(new AgentLogger(false), "agent");
        String java = new File(new File(System.getProperty("java.home"), "bin"), "java").getPath();
        initialiser.configure("127.0.0.1", 9, "account", "jvm", "session", home, home + "/work", java,
                home + "/lib/vorkel-agent.jar", library, new String[0], System.getProperty("java.vm.name"),
                System.getProperty("java.vm.version"), "");
        result("started", initialiser.startNativeAgent(0));

        // Classes of application loaders load and are tracked while nobody is attached.
        URLClassLoader early = new URLClassLoader(new URL[] {testJar()}, null);
        Class.forName("vorkel.test.CustomLoaded", true, early);
        result("tracked_before_attach", tracked(TagThreadProbe.tagOf(early)) != null);

        CountingReceiver receiver = new CountingReceiver();
        result("seen_before_attach", receiver.seen.size());
        receiver.attach();
        URLClassLoader late = new URLClassLoader(new URL[] {testJar()}, null);
        Class.forName("vorkel.test.CustomLoaded", true, late);
        Class.forName("java.util.concurrent.Phaser");  // a bootstrap class
        result("seen_after_attach", receiver.seen.contains("vorkel.test.CustomLoaded"));
        result("bootstrap_seen", receiver.sawNullLoader || receiver.seen.contains("java.util.concurrent.Phaser"));

        // A second attach replaces the first receiver.
        CountingReceiver replacement = new CountingReceiver();
        replacement.attach();
        int firstCount = receiver.seen.size();
        URLClassLoader third = new URLClassLoader(new URL[] {testJar()}, null);
        Class.forName("vorkel.test.CustomLoaded", true, third);
        result("replaced_receiver", receiver.seen.size() == firstCount
                && replacement.seen.contains("vorkel.test.CustomLoaded"));
    }

    // ------------------------------------------------------------------------------------------
    // Class-loading natives

    static String define(Supplier<Class<?>> action) {
        try {
            Class<?> defined = action.get();
            return defined == null ? "null" : defined.getName();
        } catch (Throwable e) {
            return e.getClass().getName() + ":" + e.getMessage();
        }
    }

    public static void defineClass(String[] args) throws Exception {
        byte[] raw = classBytes("/vorkel/test/CustomLoaded.class");
        byte[] padded = new byte[raw.length + 15];
        Arrays.fill(padded, (byte) 0x5A);
        System.arraycopy(raw, 0, padded, 10, raw.length);
        byte[] copy = padded.clone();
        ClassLoader target = new ClassLoader(null) {
        };
        String name = "vorkel/test/CustomLoaded";
        Class<?> defined = ClassLoadingNativeImpl.defineClass(name, target, padded, 10, raw.length);
        result("defined_name", defined == null ? "null" : defined.getName());
        result("defined_in_target", defined != null && defined.getClassLoader() == target);
        result("defined_value", defined == null ? "none" : defined.getMethod("value").invoke(null));
        result("array_unchanged", Arrays.equals(padded, copy));

        ClassLoader other = new ClassLoader(null) {
        };
        result("null_name", define(() -> ClassLoadingNativeImpl.defineClass(null, other, padded, 10, raw.length)));
        result("null_bytes", define(() -> ClassLoadingNativeImpl.defineClass(name, other, null, 0, 0)));
        result("negative_offset", define(() -> ClassLoadingNativeImpl.defineClass(name, other, padded, -1, 10)));
        result("negative_length", define(() -> ClassLoadingNativeImpl.defineClass(name, other, padded, 10, -1)));
        result("beyond_end", define(() -> ClassLoadingNativeImpl.defineClass(name, other, padded, 10, raw.length + 6)));
        result("overflowing_range", define(() -> ClassLoadingNativeImpl.defineClass(name, other, padded,
                Integer.MAX_VALUE, 10)));
        result("junk_bytes", define(() -> ClassLoadingNativeImpl.defineClass(name, other, padded, 0, raw.length)));
        result("empty_range", define(() -> ClassLoadingNativeImpl.defineClass(name, other, padded, padded.length, 0)));
        result("duplicate", define(() -> ClassLoadingNativeImpl.defineClass(name, target, padded, 10, raw.length)));
        // After all the refusals the same bytes still define the class in a fresh loader.
        result("still_defines", define(() -> ClassLoadingNativeImpl.defineClass(name, other, padded, 10, raw.length)));
    }

    public static void modules(String[] args) throws Exception {
        Object logging = Class.class.getMethod("getModule").invoke(java.util.logging.Logger.class);
        Object sql = Class.class.getMethod("getModule").invoke(java.sql.Connection.class);
        java.lang.reflect.Method canRead = logging.getClass().getMethod("canRead", logging.getClass());
        result("reads_before", canRead.invoke(logging, sql));
        result("added", ClassLoadingNativeImpl.addModuleRead(logging, sql));
        result("reads_after", canRead.invoke(logging, sql));
        result("null_module", exceptionOf(() -> ClassLoadingNativeImpl.addModuleRead(null, sql)));
        result("null_other", exceptionOf(() -> ClassLoadingNativeImpl.addModuleRead(logging, null)));
        result("not_a_module", exceptionOf(() -> ClassLoadingNativeImpl.addModuleRead("text", sql)));
    }

    // ------------------------------------------------------------------------------------------
    // Threads and stacks

    /** The stack text and Java's own trace, taken on one line so that the caller's line agrees. */
    static Object[] captureHere(int size) {
        String text = TagThreadProbe.stackText(null, size); StackTraceElement[] java = new Throwable().getStackTrace();
        return new Object[] {text, java};
    }

    static Object[] viaOwnFrame() {
        return captureHere(65536);
    }

    static Object[] recurse(int depth, int size) {
        if (depth == 0) {
            return captureHere(size);
        }
        return recurse(depth - 1, size);
    }

    /** The start of the agent's line for a frame: Java shows native frames with line -2, JVMTI -1. */
    static String expectedLine(StackTraceElement element) {
        int line = element.isNativeMethod() ? -1 : element.getLineNumber();
        return "L" + element.getClassName().replace('.', '/') + ";." + element.getMethodName() + ":" + line + "(";
    }

    static boolean allLinesWellFormed(String text) {
        if (!text.isEmpty() && !text.endsWith("\n")) {
            return false;
        }
        for (String line : text.split("\n")) {
            if (!line.isEmpty() && !STACK_LINE.matcher(line).matches()) {
                System.out.println("bad line: " + line);
                return false;
            }
        }
        return true;
    }

    static void parkHere(CountDownLatch release) {
        try {
            release.await();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    public static void stacks(String[] args) throws Exception {
        Object[] here = viaOwnFrame();
        String text = (String) here[0];
        StackTraceElement[] java = (StackTraceElement[]) here[1];
        String[] lines = text.split("\n");
        result("well_formed", allLinesWellFormed(text));
        result("native_frame", lines[0]);
        boolean javaFramesAgree = lines.length > 3;
        // Own frames only: below them the JVM's reflection frames differ between versions (some
        // are hidden from Java's traces but not from JVMTI).
        for (int i = 0; i < 3 && javaFramesAgree; i++) {
            javaFramesAgree = lines[i + 1].startsWith(expectedLine(java[i]));
            if (!javaFramesAgree) {
                System.out.println("frame " + i + ": " + lines[i + 1] + " expected " + expectedLine(java[i]));
            }
        }
        result("java_frames_agree", javaFramesAgree);
        result("caller_line_positive", java[0].getLineNumber() > 0);

        Object[] deep = recurse(250, 65536);
        String[] deepLines = ((String) deep[0]).split("\n");
        result("deep_count", deepLines.length);
        boolean allRecurse = true;
        for (int i = 2; i < deepLines.length; i++) {
            allRecurse &= deepLines[i].startsWith("Lvorkel/test/TagsThreads;.recurse:");
        }
        result("deep_top_frames", deepLines[1].startsWith("Lvorkel/test/TagsThreads;.captureHere:") && allRecurse);

        // The same call site with a storage too small for the whole text.
        String[] texts = new String[3];
        int[] sizes = {65536, 300, 10};
        for (int i = 0; i < sizes.length; i++) {
            texts[i] = (String) captureHere(sizes[i])[0];
        }
        String full = texts[0];
        String cut = texts[1];
        int nextLine = full.indexOf('\n', cut.length()) + 1 - cut.length();
        result("cut_is_prefix", full.startsWith(cut) && cut.length() < full.length());
        result("cut_ends_with_whole_line", cut.endsWith("\n") && cut.length() <= 299);
        result("cut_next_line_would_not_fit", cut.length() + nextLine > 299);
        result("cut_well_formed", allLinesWellFormed(cut));
        result("tiny_storage_empty", "".equals(texts[2]));

        // Another thread's stack, parked at a known line.
        CountDownLatch release = new CountDownLatch(1);
        CountDownLatch parked = new CountDownLatch(1);
        Thread other = new Thread(() -> {
            parked.countDown();
            parkHere(release);
        }, "probe-parked");
        other.start();
        parked.await();
        while ((other.getState() != Thread.State.WAITING)) {
            Thread.yield();
        }
        String otherText = TagThreadProbe.stackText(other, 65536);
        StackTraceElement parkFrame = null;
        for (StackTraceElement element : other.getStackTrace()) {
            if (element.getMethodName().equals("parkHere")) {
                parkFrame = element;
            }
        }
        result("other_well_formed", allLinesWellFormed(otherText));
        result("other_park_line", parkFrame != null && otherText.contains(expectedLine(parkFrame)));
        result("other_native_park", otherText.startsWith("Ljdk/internal/misc/Unsafe;.park:-1(-1)\n"));

        String[] facts = TagThreadProbe.threadFacts(other).split("\\|");
        int state = Integer.parseInt(facts[2]);
        result("facts_id", Long.parseLong(facts[0]) == other.getId());
        result("facts_name", facts[1]);
        result("facts_state_parked", (state & 0x1) != 0 && (state & 0x80) != 0 && (state & 0x200) != 0);
        result("facts_current_id", Long.parseLong(facts[3]) == Thread.currentThread().getId());
        release.countDown();
        other.join();
        result("ended_thread_text", TagThreadProbe.stackText(other, 4096));
        result("ended_thread_state", TagThreadProbe.threadFacts(other).split("\\|")[2]);
    }

    public static void threadDump(String[] args) throws Exception {
        CountDownLatch release = new CountDownLatch(1);
        List<Thread> workers = new ArrayList<>();
        for (int i = 1; i <= 3; i++) {
            Thread worker = new Thread(() -> parkHere(release), "probe-dump-" + i);
            worker.start();
            workers.add(worker);
        }
        for (Thread worker : workers) {
            while (worker.getState() != Thread.State.WAITING) {
                Thread.yield();
            }
        }
        Set<Thread> javaThreads = Thread.getAllStackTraces().keySet();
        String[] dump = TagThreadProbe.threadDump(32768, workers.get(0));
        Set<String> dumped = new HashSet<>();
        String marked = null;
        boolean wellFormed = true;
        boolean indexRefused = true;
        for (String entry : dump) {
            if (entry.equals("INDEX-NOT-REFUSED")) {
                indexRefused = false;
                continue;
            }
            int newline = entry.indexOf('\n');
            String name = entry.substring(0, newline);
            if (name.startsWith("*")) {
                name = name.substring(1);
                marked = entry.substring(newline + 1);
            }
            dumped.add(name);
            wellFormed &= allLinesWellFormed(entry.substring(newline + 1));
        }
        List<String> missing = new ArrayList<>();
        for (Thread thread : javaThreads) {
            if (thread.isAlive() && !dumped.contains(thread.getName())) {
                missing.add(thread.getName());
            }
        }
        result("java_thread_count", javaThreads.size());
        result("dump_has_every_live_thread", missing.isEmpty() ? "true" : "missing " + missing);
        result("dump_has_workers", dumped.containsAll(Arrays.asList("probe-dump-1", "probe-dump-2", "probe-dump-3",
                "main")));
        result("dump_well_formed", wellFormed);
        result("dump_index_refused", indexRefused);
        result("dump_locals_left", TagThreadProbe.localsLeftByThreadDump());
        StackTraceElement parkFrame = null;
        for (StackTraceElement element : workers.get(0).getStackTrace()) {
            if (element.getMethodName().equals("parkHere")) {
                parkFrame = element;
            }
        }
        result("dump_worker_park_line", marked != null && parkFrame != null && marked.contains(expectedLine(parkFrame)));
        result("dump_native_frame", marked != null && marked.startsWith("Ljdk/internal/misc/Unsafe;.park:-1(-1)\n"));

        // With little room every thread's text still ends with a whole line.
        boolean smallWhole = true;
        for (String entry : TagThreadProbe.threadDump(200, null)) {
            String stack = entry.substring(entry.indexOf('\n') + 1);
            smallWhole &= stack.length() <= 199 && (stack.isEmpty() || stack.endsWith("\n"))
                    && allLinesWellFormed(stack);
        }
        result("dump_small_whole_lines", smallWhole);
        release.countDown();
        for (Thread worker : workers) {
            worker.join();
        }
    }

    public static void nativeThreads(String[] args) {
        result("native_cycle", TagThreadProbe.nativeThreadCycle());
    }

    /** A receiver whose listener throws: the class load of the application must not be harmed. */
    public static void throwingListener(String[] args) throws Exception {
        Agent.deferred().addListener((loader, type) -> {
            if (type.getName().startsWith("vorkel.test.CustomLoaded")) {
                throw new IllegalStateException("listener failure for " + type.getName());
            }
        });
        URLClassLoader custom = new URLClassLoader(new URL[] {testJar()}, null);
        result("load_despite_listener", define(() -> {
            try {
                return Class.forName("vorkel.test.CustomLoaded", true, custom);
            } catch (ClassNotFoundException e) {
                throw new IllegalStateException(e);
            }
        }));
        result("second_load", define(() -> {
            try {
                return Class.forName("vorkel.test.CustomLoaded", true, custom);
            } catch (ClassNotFoundException e) {
                throw new IllegalStateException(e);
            }
        }));
        result("value", define(() -> {
            try {
                Class<?> c = Class.forName("vorkel.test.CustomLoaded", true, custom);
                System.out.println("RESULT value_call=" + c.getMethod("value").invoke(null));
                return c;
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        }));
    }
}
