package vorkel.test;

import java.io.File;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.locks.ReentrantReadWriteLock;

import vorkel.runtime.agent.collection.RuntimeStatistic;
import vorkel.runtime.agent.oom.HeapDumpTrigger;
import vorkel.runtime.agent.transactions.Transactions;

import static vorkel.test.Harness.result;

/**
 * Many requested snapshots of one JVM under load: four threads keep recording statistics, four run
 * transactions that write and read files and contend for one monitor. Around every snapshot the
 * counts and tags of the instances that stay must be what they were; at every sample point (the
 * workers paused between two steps) the counts of everything recorded must be exact after a
 * collection, and the process's resident memory, descriptors, threads and children are printed as
 * "CURVE" lines for the caller to judge.
 */
public final class SoakScenarios {
    private SoakScenarios() {
    }

    static final int RECORDERS = 4;
    static final int TRANSACTORS = 4;
    static final int KEPT = 1000;
    static final int RING = 500;
    static final int PER_GENERATION = 2000;
    static final int KEPT_POINT = 100;
    static final int CHURN_POINT = 110;

    /** Workers hold it shared for each step; a sample takes it exclusively, so it sees them between steps. */
    static final ReentrantReadWriteLock GATE = new ReentrantReadWriteLock();
    static volatile boolean running = true;
    static final AtomicLong FAILURES = new AtomicLong();
    static volatile String firstFailure = "none";

    static void fail(String what) {
        if (FAILURES.getAndIncrement() == 0) {
            firstFailure = what;
        }
    }

    static final class Payload {
        final long[] values = new long[4];
    }

    /** Records a fixed set of instances that stay, then records and drops instances in a ring. */
    static final class Recorder extends Thread {
        final int index;
        final Object[] kept = new Object[KEPT];
        final long[] keptTags = new long[KEPT];
        final Object[] ring = new Object[RING];
        long recorded;
        long refused;
        volatile long keptId;
        volatile long churnId;

        Recorder(int index) {
            super("soak-recorder-" + index);
            this.index = index;
            for (int i = 0; i < KEPT; ++i) {
                kept[i] = new Payload();
                keptTags[i] = RuntimeStatistic.record(kept[i], "soak.kept." + index, KEPT_POINT + index, 1);
            }
            keptId = keptTags[0] & 0xFFFFFFFFL;
        }

        @Override
        public void run() {
            while (running) {
                GATE.readLock().lock();
                try {
                    step();
                } finally {
                    GATE.readLock().unlock();
                }
                pause(2);
            }
        }

        /** One batch of 20 records (a method of its own: no frame keeps a dropped instance). */
        void step() {
            for (int i = 0; i < 20; ++i) {
                int slot = (int) (recorded % RING);
                Object instance = new Payload();
                int generation = 1 + (int) (recorded / PER_GENERATION);
                long tag = RuntimeStatistic.record(instance, "soak.churn." + index, CHURN_POINT + index, generation);
                if (tag == -1) {
                    ++refused;
                    continue;
                }
                if (churnId == 0) {
                    churnId = tag & 0xFFFFFFFFL;
                }
                ring[slot] = instance;
                ++recorded;
            }
        }

        int ringLive() {
            return (int) Math.min(recorded, RING);
        }

        /** Kept instances whose tag is not the one they were given. */
        int changedTags() {
            int changed = 0;
            for (int i = 0; i < KEPT; ++i) {
                changed += StatisticsProbe.tagOf(kept[i]) == keptTags[i] ? 0 : 1;
            }
            return changed;
        }
    }

    static final Object CONTENDED = new Object();

    /** Transactions that write a file, read it back and take the contended monitor, now and then for long. */
    static final class Transactor extends Thread {
        final File file;
        final byte[] data = new byte[4096];
        long transactions;
        long longHolds;

        Transactor(int index, File directory) {
            super("soak-transactor-" + index);
            this.file = new File(directory, "transactor-" + index + ".bin");
            Arrays.fill(data, (byte) index);
        }

        @Override
        public void run() {
            while (running) {
                GATE.readLock().lock();
                try {
                    Transactions.run("soak-io", this::step);
                    ++transactions;
                } catch (RuntimeException e) {
                    fail(getName() + ": " + e);
                } finally {
                    GATE.readLock().unlock();
                }
                pause(2);
            }
        }

        void step() {
            try (FileOutputStream out = new FileOutputStream(file)) {
                out.write(data);
                out.write(7);
            } catch (IOException e) {
                throw new IllegalStateException(e);
            }
            byte[] back = new byte[data.length + 1];
            int total = 0;
            try (FileInputStream in = new FileInputStream(file)) {
                for (int n; total < back.length && (n = in.read(back, total, back.length - total)) > 0;) {
                    total += n;
                }
            } catch (IOException e) {
                throw new IllegalStateException(e);
            }
            if (total != back.length || back[0] != data[0] || back[data.length] != 7) {
                fail(getName() + ": read back " + total + " bytes");
            }
            synchronized (CONTENDED) {
                // Every 40th transaction holds the monitor long enough for the others' waits to count.
                pause(transactions % 40 == 0 ? 40 : 1);
                if (transactions % 40 == 0) {
                    ++longHolds;
                }
            }
        }
    }

    static void pause(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /** Resident set size in kB, open descriptors, threads, and running and zombie children. */
    static long[] processFigures() throws IOException {
        long rss = -1;
        for (String line : Files.readAllLines(new File("/proc/self/status").toPath(), StandardCharsets.UTF_8)) {
            if (line.startsWith("VmRSS:")) {
                rss = Long.parseLong(line.substring(6).trim().split("\\s+")[0]);
            }
        }
        String[] fds = new File("/proc/self/fd").list();
        String[] tasks = new File("/proc/self/task").list();
        long[] children = children();
        return new long[] {rss, fds == null ? -1 : fds.length, tasks == null ? -1 : tasks.length, children[0],
            children[1]};
    }

    static final long SELF = ProcessHandle.current().pid();

    /** Children that run for the JVM's lifetime (the exit monitor), found before the first snapshot. */
    static final Set<Long> RESIDENT = new HashSet<>();

    /** Children seen running (other than the resident ones), and those that held the marker file open. */
    static final Set<Long> SEEN = new HashSet<>();
    static final Set<Long> INHERITED = new HashSet<>();
    static volatile String marker;

    /** Whether the process holds the marker file open. */
    static boolean holdsMarker(String pid) {
        String[] fds = new File("/proc/" + pid + "/fd").list();
        for (String fd : fds == null ? new String[0] : fds) {
            try {
                if (Files.readSymbolicLink(new File("/proc/" + pid + "/fd/" + fd).toPath()).toString().equals(marker)) {
                    return true;
                }
            } catch (IOException | UnsupportedOperationException gone) {
                // closed meanwhile
            }
        }
        return false;
    }

    /**
     * Children of this process: running ones (other than the resident ones) and zombies. Each running
     * child is checked for the marker file, which this process holds open without close-on-exec.
     */
    static synchronized long[] children() {
        long running = 0;
        long zombies = 0;
        String[] entries = new File("/proc").list();
        for (String entry : entries == null ? new String[0] : entries) {
            if (entry.isEmpty() || !Character.isDigit(entry.charAt(0))) {
                continue;
            }
            String stat;
            try {
                stat = new String(Files.readAllBytes(new File("/proc/" + entry + "/stat").toPath()),
                        StandardCharsets.UTF_8);
            } catch (IOException gone) {
                continue;
            }
            // "pid (name) state ppid ...": the name may hold spaces and parentheses.
            String[] rest = stat.substring(stat.lastIndexOf(')') + 2).split(" ");
            if (rest.length < 2 || Long.parseLong(rest[1]) != SELF) {
                continue;
            }
            if (rest[0].equals("Z")) {
                ++zombies;
            } else if (!RESIDENT.contains(Long.parseLong(entry))) {
                ++running;
                SEEN.add(Long.parseLong(entry));
                if (marker != null && holdsMarker(entry)) {
                    INHERITED.add(Long.parseLong(entry));
                }
            }
        }
        return new long[] {running, zombies};
    }

    static int snapshotCount(File work) {
        String[] names = work.list((dir, name) -> name.startsWith("oom_"));
        return names == null ? 0 : names.length;
    }

    static String keptCounts(Recorder[] recorders) {
        StringBuilder text = new StringBuilder();
        for (Recorder recorder : recorders) {
            long[] info = StatisticsProbe.allocation(recorder.keptId);
            text.append(info == null ? "none" : info[0] + "/" + info[1]).append(' ');
        }
        return text.toString();
    }

    /**
     * With the workers paused: collect, have the frees posted and compare every count with what the
     * workers did; then print the curve line. Returns the number of counts that disagreed.
     */
    static int sample(int n, Recorder[] recorders, long snapshotMillis) throws IOException {
        GATE.writeLock().lock();
        try {
            long expectedLive = (long) RECORDERS * KEPT;
            for (Recorder recorder : recorders) {
                expectedLive += recorder.ringLive();
            }
            final long expected = expectedLive;
            int rounds = Harness.collectUntil(10, StatisticsProbe::flushObjectFree,
                    () -> StatisticsProbe.totals()[0] == expected);
            int wrong = 0;
            for (Recorder recorder : recorders) {
                long[] churn = StatisticsProbe.allocation(recorder.churnId);
                if (churn == null || churn[0] != recorder.recorded || churn[1] != recorder.ringLive()) {
                    ++wrong;
                    fail("sample " + n + " " + recorder.getName() + ": churn total/live "
                            + (churn == null ? "none" : churn[0] + "/" + churn[1]) + ", expected " + recorder.recorded
                            + "/" + recorder.ringLive());
                }
            }
            long[] totals = StatisticsProbe.totals();
            if (rounds < 0) {
                ++wrong;
                fail("sample " + n + ": live tagged " + totals[0] + ", expected " + expected);
            }
            long[] figures = processFigures();
            System.out.println("CURVE n=" + n + " rss_kb=" + figures[0] + " fds=" + figures[1] + " threads="
                    + figures[2] + " children=" + figures[3] + " zombies=" + figures[4] + " live_tagged=" + totals[0]
                    + " stats_bytes=" + totals[4] + " snapshot_ms=" + snapshotMillis);
            System.out.flush();
            return wrong;
        } finally {
            GATE.writeLock().unlock();
        }
    }

    /**
     * Arguments: snapshots, sample every N snapshots, the most children that may run when the next
     * snapshot is requested (its uploader fork and helpers), the work directory.
     */
    public static void soak(String[] args) throws Exception {
        int snapshots = Integer.parseInt(args[1]);
        int every = Integer.parseInt(args[2]);
        int maxChildren = Integer.parseInt(args[3]);
        File work = new File(args[4]);
        File io = new File(work.getParentFile(), "soak-io");
        io.mkdirs();

        File markerFile = new File(io, "held-open.txt");
        Files.write(markerFile.toPath(), "held".getBytes(StandardCharsets.UTF_8));
        FileInputStream held = new FileInputStream(markerFile);
        marker = markerFile.getCanonicalPath();

        RuntimeStatistic.calibrate();
        Recorder[] recorders = new Recorder[RECORDERS];
        for (int i = 0; i < RECORDERS; ++i) {
            recorders[i] = new Recorder(i);
        }
        List<Thread> workers = new ArrayList<>(Arrays.asList(recorders));
        Transactor[] transactors = new Transactor[TRANSACTORS];
        for (int i = 0; i < TRANSACTORS; ++i) {
            transactors[i] = new Transactor(i, io);
            workers.add(transactors[i]);
        }
        for (Thread worker : workers) {
            worker.start();
        }
        pause(200);
        for (ProcessHandle child : ProcessHandle.current().children().toArray(ProcessHandle[]::new)) {
            RESIDENT.add(child.pid());
        }
        result("resident_children", RESIDENT.size());

        int keptMismatches = 0;
        int sampleMismatches = sample(0, recorders, 0);
        long gateMillis = 0;
        long snapshotMillisTotal = 0;
        long slowestSnapshot = 0;
        int missing = 0;
        for (int n = 1; n <= snapshots; ++n) {
            long gateStart = System.nanoTime();
            long deadline = gateStart + 120_000_000_000L;
            while (children()[0] >= maxChildren && System.nanoTime() < deadline) {
                pause(20);
            }
            gateMillis += (System.nanoTime() - gateStart) / 1_000_000;

            String before = keptCounts(recorders);
            int dirsBefore = snapshotCount(work);
            long start = System.nanoTime();
            HeapDumpTrigger.triggerHeapDump("soak " + n);
            long millis = (System.nanoTime() - start) / 1_000_000;
            snapshotMillisTotal += millis;
            slowestSnapshot = Math.max(slowestSnapshot, millis);
            missing += snapshotCount(work) == dirsBefore + 1 ? 0 : 1;
            String after = keptCounts(recorders);
            int changed = 0;
            for (Recorder recorder : recorders) {
                changed += recorder.changedTags();
            }
            if (!before.equals(after) || changed != 0) {
                ++keptMismatches;
                fail("snapshot " + n + ": kept counts " + before + "-> " + after + ", " + changed + " tags changed");
            }
            if (n % every == 0 || n == snapshots) {
                sampleMismatches += sample(n, recorders, millis);
            }
        }

        // Every helper and uploader fork ends and is reaped; then the last sample, workers still running.
        long childDeadline = System.nanoTime() + 120_000_000_000L;
        long[] children;
        while (((children = children())[0] > 0 || children[1] > 0) && System.nanoTime() < childDeadline) {
            pause(100);
        }
        sampleMismatches += sample(snapshots + 1, recorders, 0);
        long[] end = processFigures();

        running = false;
        for (Thread worker : workers) {
            worker.join();
        }
        long transactions = 0;
        long longHolds = 0;
        for (Transactor transactor : transactors) {
            transactions += transactor.transactions;
            longHolds += transactor.longHolds;
        }
        long recorded = 0;
        long refused = 0;
        for (Recorder recorder : recorders) {
            recorded += recorder.recorded;
            refused += recorder.refused;
        }
        result("snapshots", snapshots);
        result("missing_directories", missing);
        result("kept_mismatches", keptMismatches);
        result("sample_mismatches", sampleMismatches);
        result("failures", FAILURES.get());
        result("first_failure", firstFailure);
        result("recorded", recorded);
        result("refused", refused);
        result("transactions", transactions);
        result("long_holds", longHolds);
        result("reports_sent", Transactions.awaitReports(30000));
        held.close();
        result("children_seen", SEEN.size());
        result("children_inheriting", INHERITED.size());
        result("end_children", end[3]);
        result("end_zombies", end[4]);
        result("gate_ms", gateMillis);
        result("snapshot_ms_mean", snapshotMillisTotal / Math.max(1, snapshots));
        result("snapshot_ms_max", slowestSnapshot);
    }
}
