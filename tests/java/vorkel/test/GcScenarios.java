package vorkel.test;

import java.lang.management.ManagementFactory;
import java.lang.reflect.Method;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.BooleanSupplier;

import javax.management.ObjectName;

import vorkel.runtime.agent.bootstrap.Agent;
import vorkel.runtime.agent.collect.GenerationCounterNative;
import vorkel.runtime.agent.probes.gc.GarbageCollectionNativeImpl;
import vorkel.runtime.agent.probes.gc.J9Collection;
import vorkel.runtime.agent.probes.gc.RecordingGc;

import static vorkel.test.Harness.loggerSaw;
import static vorkel.test.Harness.result;

/** The GC probes: the collection count and its reporter thread, and the J9 verbose-GC records. */
public final class GcScenarios {
    private static final String REPORTER = "GC Count reporter thread";
    private static final long WAIT_MILLIS = 60_000;

    private GcScenarios() {
    }

    /** True once the condition holds, false after a minute. */
    private static boolean waitFor(BooleanSupplier condition) throws InterruptedException {
        long deadline = System.currentTimeMillis() + WAIT_MILLIS;
        while (!condition.getAsBoolean()) {
            if (System.currentTimeMillis() > deadline) {
                return false;
            }
            Thread.sleep(5);
        }
        return true;
    }

    /**
     * Collects n times, then waits until a reporting pass has published the count and one pass more
     * has begun, so that every pass started before it has run to its end.
     */
    private static boolean collectAndSettle(int n) throws InterruptedException {
        int start = GenerationCounterNative.gcCount;
        for (int i = 0; i < n; i++) {
            System.gc();
        }
        if (!waitFor(() -> GenerationCounterNative.gcCount >= start + n)) {
            return false;
        }
        int settled = GenerationCounterNative.gcCount;
        System.gc();
        return waitFor(() -> GenerationCounterNative.gcCount > settled);
    }

    /** Run with gc=false: this scenario is the only receiver of the reports. */
    public static void counts(String[] args) throws Exception {
        RecordingGc gc = new RecordingGc();
        result("settled_unattached", collectAndSettle(5));
        gc.attach();
        result("settled_attached", collectAndSettle(5));
        gc.callsExpected = true;
        gc.enableGcFinishNotifications();
        int before = GenerationCounterNative.gcCount;
        for (int i = 0; i < 20; i++) {
            System.gc();
        }
        result("twenty_counted", waitFor(() -> GenerationCounterNative.gcCount >= before + 20 && !gc.collections.isEmpty()));
        result("gc_count_at_least_30", GenerationCounterNative.gcCount >= 30);
        result("calls_before_enabled", gc.collections.stream().filter(c -> !c.expected).count());
        result("call_thread", gc.collections.get(0).thread);

        // Ten collections while the reporter is held inside reportCollection give one pass more.
        collectAndSettle(1);
        CountDownLatch entered = new CountDownLatch(1);
        CountDownLatch release = new CountDownLatch(1);
        gc.entered = entered;
        gc.release = release;
        System.gc();
        result("reporter_held", entered.await(WAIT_MILLIS, TimeUnit.MILLISECONDS));
        // A listener that waits for a thread calling attach must not hang it: the reporter runs the
        // listeners without holding what attach waits for.
        Thread attacher = new Thread(gc::attach, "attacher");
        attacher.start();
        attacher.join(5000);
        result("attach_while_reporting", !attacher.isAlive());
        int held = gc.collections.size();
        int countWhenHeld = gc.collections.get(held - 1).gcCount;
        for (int i = 0; i < 10; i++) {
            System.gc();
        }
        release.countDown();
        waitFor(() -> gc.collections.size() > held);
        Thread.sleep(500);
        result("passes_after_ten", gc.collections.size() - held);
        result("count_jump", gc.collections.get(held).gcCount - countWhenHeld);
        result("published_latest", gc.collections.get(gc.collections.size() - 1).gcCount == GenerationCounterNative.gcCount);

        // JVMTI agent threads are left out of Thread.getAllStackTraces; the VM's thread dump has them.
        String dump = (String) ManagementFactory.getPlatformMBeanServer().invoke(
                new ObjectName("com.sun.management:type=DiagnosticCommand"), "threadPrint",
                new Object[] {new String[0]}, new String[] {String[].class.getName()});
        String line = "";
        for (String dumpLine : dump.split("\n")) {
            if (dumpLine.startsWith("\"" + REPORTER + "\"")) {
                line = dumpLine;
            }
        }
        result("reporter_in_dump", !line.isEmpty());
        result("reporter_dump_daemon_prio", line.contains(" daemon prio=1 "));
        RecordingGc.Collection last = gc.collections.get(gc.collections.size() - 1);
        result("reporter_daemon", last.daemon);
        result("reporter_priority", last.priority);
        result("main_done", true);
    }

    /** Run with the agent's own receiver (gc=true, gcreport=5): its log line and the J9 answer of HotSpot. */
    public static void agentReport(String[] args) throws Exception {
        GarbageCollectionNativeImpl own = Agent.garbageCollection();
        result("own_receiver", own != null);
        for (int i = 0; i < 12; i++) {
            System.gc();
        }
        result("count_logged", waitFor(() -> loggerSaw("Garbage collections seen: ")));
        result("j9_on_hotspot", own != null && own.enableJ9GcNotifications());
    }

    // ---- J9 verbose-GC records as the VM writes them

    private static final String[] POOLS = {"nursery", "allocate", "survivor", "tenure", "soa", "loa",
            "class-storage-long-name", "extra", "ninth"};

    /** Pools 0..n-1, pool j with free j and total 10 + j (used 10) before, free 2j and total 20 + j after. */
    private static String memInfo(int n, boolean after) {
        StringBuilder text = new StringBuilder("  <mem-info id=\"12399\" free=\"829920640\" total=\"2147483648\" percent=\"38\">\n");
        for (int j = 0; j < n; j++) {
            long free = after ? 2 * j : j;
            long total = (after ? 20 : 10) + j;
            text.append("    <mem type=\"").append(POOLS[j]).append("\" free=\"").append(free).append("\" total=\"")
                    .append(total).append("\" percent=\"50\" />\n");
        }
        return text.append("  </mem-info>\n").toString();
    }

    private static String gcStart(int pools) {
        return "<gc-start id=\"12395\" type=\"scavenge\" contextid=\"12394\" timestamp=\"2024-05-02T10:15:31.457\">\n"
                + memInfo(pools, false) + "</gc-start>";
    }

    private static String gcEnd(String type, String durationms, int pools) {
        return "<gc-end id=\"12396\" type=\"" + type + "\" contextid=\"12394\" durationms=\"" + durationms
                + "\" usertimems=\"46.278\" systemtimems=\"0.000\" timestamp=\"2024-05-02T10:15:31.469\" activeThreads=\"4\">\n"
                + memInfo(pools, true) + "</gc-end>";
    }

    private static final String AF_START = "<af-start id=\"12393\" threadId=\"00000000013D7280\" totalBytesRequested=\"8200\" "
            + "timestamp=\"2024-05-02T10:15:31.456\" intervalms=\"1290.125\" type=\"nursery\" />";
    private static final String AF_END = "<af-end id=\"12397\" timestamp=\"2024-05-02T10:15:31.470\" "
            + "threadId=\"00000000013D7281\" success=\"true\" from=\"nursery\"/>";
    private static final String HEAP_RESIZE = "<heap-resize id=\"2\" type=\"expand\" space=\"nursery\" amount=\"205258752\" "
            + "count=\"1\" timems=\"0.000\" reason=\"excessive time being spent scavenging\" timestamp=\"2024-05-02T10:15:31.470\" />";

    /** Report passes until the queue is empty; the calls they made. */
    private static List<RecordingGc.J9Report> drain(RecordingGc gc) {
        List<RecordingGc.J9Report> calls = new ArrayList<>();
        for (int pass = 0; pass < 40; pass++) {
            int before = gc.j9Reports.size();
            GcProbe.report(gc);
            if (gc.j9Reports.size() == before) {
                break;
            }
            calls.add(gc.j9Reports.get(before));
        }
        return calls;
    }

    /** "index,duration,allocation failure|before pairs|after pairs" of record r of a report. */
    private static String record(RecordingGc.J9Report report, int r) {
        int stride = 4 + 4 * report.pools.length;
        long[] d = report.data;
        int base = r * stride;
        StringBuilder text = new StringBuilder().append(d[base]).append(',').append(d[base + 2]).append(',').append(d[base + 3]);
        for (int j = 0; j < 4 * report.pools.length; j++) {
            text.append(j % (2 * report.pools.length) == 0 ? '|' : ',').append(d[base + 4 + j]);
        }
        return text.toString();
    }

    private static String indexes(RecordingGc.J9Report report) {
        StringBuilder text = new StringBuilder();
        for (int r = 0; r < report.count; r++) {
            text.append(r == 0 ? "" : ",").append(report.data[r * (4 + 4 * report.pools.length)]);
        }
        return text.toString();
    }

    /** Run with gc=false, so that registration is still to be tried and nothing is attached. */
    public static void j9(String[] args) throws Exception {
        result("registration", GcProbe.registerThroughExtension());
        RecordingGc gc = new RecordingGc();
        AtomicInteger decoded = new AtomicInteger();
        gc.addListener(new GarbageCollectionNativeImpl.Listener() {
            @Override
            public void j9Collections(List<J9Collection> collections) {
                decoded.addAndGet(collections.size());
            }
        });
        result("enable_again", gc.enableJ9GcNotifications());
        result("register_calls", GcProbe.registerCalls());

        // Nothing complete: a gc-end alone, a broken gc-start, one pool only, a resize in between.
        GcProbe.push(gcEnd("scavenge", "1.0", 6));
        GcProbe.push(gcStart(6).replace("id=\"12395\"", "id=12395"), gcEnd("scavenge", "1.0", 6));
        GcProbe.push(gcStart(1), gcEnd("scavenge", "1.0", 6));
        GcProbe.push(gcStart(6), HEAP_RESIZE, gcEnd("scavenge", "1.0", 6));
        GcProbe.report(gc);
        result("incomplete_reports", gc.j9Reports.size());

        // The first record fixes the pools: nine given, eight kept.
        GcProbe.push(AF_START, gcStart(9));
        long before = System.currentTimeMillis();
        GcProbe.push(gcEnd("scavenge", "12.75", 9));
        long after = System.currentTimeMillis();
        GcProbe.push(AF_END);
        List<RecordingGc.J9Report> first = drain(gc);
        result("first_calls", first.size());
        RecordingGc.J9Report one = first.get(0);
        result("first_pools", String.join(",", one.pools));
        result("first_collectors", String.join(",", one.collectors));
        result("first_count", one.count + "/" + one.data.length);
        result("first_record", record(one, 0));
        // The agent's clock runs from its own anchor: it may differ from Java's by a few milliseconds.
        result("first_timestamp_in_range", one.data[1] >= before - 1000 && one.data[1] <= after + 1000);

        // 129 records without a pass between them: the oldest gives way.
        for (int i = 1; i <= 129; i++) {
            GcProbe.push(gcStart(6), gcEnd("scavenge", i + ".5", 6));
        }
        List<RecordingGc.J9Report> ring = drain(gc);
        StringBuilder counts = new StringBuilder();
        List<Long> durations = new ArrayList<>();
        for (RecordingGc.J9Report report : ring) {
            counts.append(report.count);
            for (int r = 0; r < report.count; r++) {
                durations.add(report.data[r * 36 + 2]);
            }
        }
        result("ring_counts", counts);
        result("ring_durations", durations.size() + ":" + durations.get(0) + ".." + durations.get(durations.size() - 1));
        result("ring_record", record(ring.get(0), 0));

        // Ten records of nine types: 8 in one pass, 2 in the next; the ninth type is reported as 0.
        String[] types = {"global", "c3", "c4", "c5", "c6", "c7", "concurrent-collection-of-the-old-generation",
                "ninth", "scavenge", "global"};
        for (String type : types) {
            GcProbe.push(gcStart(6), gcEnd(type, "3", 6));
        }
        List<RecordingGc.J9Report> ten = drain(gc);
        result("ten_counts", ten.size() == 2 ? ten.get(0).count + "," + ten.get(1).count : "calls " + ten.size());
        result("ten_indexes", ten.size() == 2 ? indexes(ten.get(0)) + "|" + indexes(ten.get(1)) : "");
        result("collectors", String.join(",", ten.get(ten.size() - 1).collectors));

        // The reporter thread: records wait while nothing is attached, then reach the receiver
        // without reportCollection, which was not enabled.
        GcProbe.push(gcStart(6), gcEnd("scavenge", "7", 6), gcStart(6), gcEnd("global", "8", 6));
        int reports = gc.j9Reports.size();
        result("settled_unattached", collectAndSettle(2));
        result("waiting_while_unattached", gc.j9Reports.size() == reports);
        gc.attach();
        boolean arrived = waitFor(() -> {
            System.gc();
            return gc.j9Reports.size() > reports;
        });
        result("reported_by_reporter", arrived ? gc.j9Reports.get(reports).thread : "nothing");
        result("reporter_report", arrived ? gc.j9Reports.get(reports).count + ":" + indexes(gc.j9Reports.get(reports)) : "");
        collectAndSettle(2);
        result("collection_calls", gc.collections.size());
        result("decoded", decoded.get());
    }

    /**
     * Starts the agent from a class loader of its own whose GarbageCollectionNativeImpl has no
     * reportJ9Collections (the method renamed in its class file). Run without -agentpath and
     * -javaagent; args: the agent home's library, home and work directories.
     */
    public static void missingJ9Method(String[] args) throws Exception {
        ClassLoader loader = new ClassLoader(GcScenarios.class.getClassLoader()) {
            @Override
            protected Class<?> loadClass(String name, boolean resolve) throws ClassNotFoundException {
                if (!name.startsWith("vorkel.runtime.agent.")) {
                    return super.loadClass(name, resolve);
                }
                synchronized (getClassLoadingLock(name)) {
                    Class<?> loaded = findLoadedClass(name);
                    if (loaded != null) {
                        return loaded;
                    }
                    byte[] bytes;
                    try {
                        bytes = Harness.classBytes("/" + name.replace('.', '/') + ".class");
                    } catch (Exception e) {
                        throw new ClassNotFoundException(name, e);
                    }
                    if (name.equals(GarbageCollectionNativeImpl.class.getName())) {
                        replace(bytes, "reportJ9Collections", "reportJ9Collectionz");
                    }
                    return defineClass(name, bytes, 0, bytes.length);
                }
            }
        };
        Class<?> agent = loader.loadClass(Agent.class.getName());
        Method start = agent.getMethod("start", String.class);
        result("start", start.invoke(null, "lib=" + args[1] + ",home=" + args[2] + ",work=" + args[3]));
        Class<?> impl = loader.loadClass(GarbageCollectionNativeImpl.class.getName());
        boolean renamed = false;
        for (Method method : impl.getDeclaredMethods()) {
            renamed |= method.getName().equals("reportJ9Collectionz");
        }
        result("renamed", renamed);
    }

    private static void replace(byte[] bytes, String from, String to) {
        byte[] a = from.getBytes(java.nio.charset.StandardCharsets.US_ASCII);
        byte[] b = to.getBytes(java.nio.charset.StandardCharsets.US_ASCII);
        for (int i = 0; i + a.length <= bytes.length; i++) {
            boolean match = true;
            for (int k = 0; k < a.length && match; k++) {
                match = bytes[i + k] == a[k];
            }
            if (match) {
                System.arraycopy(b, 0, bytes, i, b.length);
            }
        }
    }
}
