package vorkel.test;

import java.io.File;
import java.io.FileInputStream;
import java.lang.reflect.Method;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLongArray;

import vorkel.runtime.agent.feature.io.file.FileStreamTrackerNativeImpl;
import vorkel.runtime.agent.probes.contention.LockContentionSummary;
import vorkel.runtime.agent.probes.contention.LongLockWait;
import vorkel.runtime.agent.probes.ut.natives.NativeTransactionSummary;
import vorkel.runtime.agent.probes.ut.natives.RecurringStreamOperationSummary;
import vorkel.runtime.agent.probes.ut.natives.TimingOperationSummary;

import static vorkel.test.Harness.result;
import static vorkel.test.TransactionScenarios.Detector;
import static vorkel.test.TransactionScenarios.Inventory;
import static vorkel.test.TransactionScenarios.LC;
import static vorkel.test.TransactionScenarios.UT;
import static vorkel.test.TransactionScenarios.agentMillis;
import static vorkel.test.TransactionScenarios.configure;
import static vorkel.test.TransactionScenarios.enterAt;
import static vorkel.test.TransactionScenarios.shape;
import static vorkel.test.TransactionScenarios.waitForLock;
import static vorkel.test.TransactionScenarios.waits;

/**
 * Transactions on virtual threads (JDK 21 and later; compiled for 11, so the virtual-thread API is
 * reached by reflection). The agent runs with transactions=false; the scenarios drive the natives.
 */
public final class VirtualTransactionScenarios {
    private VirtualTransactionScenarios() {
    }

    static final Method OF_VIRTUAL;
    static final Method NAME;
    static final Method START;

    static {
        try {
            OF_VIRTUAL = Thread.class.getMethod("ofVirtual");
            Class<?> builder = Class.forName("java.lang.Thread$Builder");
            NAME = builder.getMethod("name", String.class);
            START = builder.getMethod("start", Runnable.class);
        } catch (ReflectiveOperationException e) {
            throw new ExceptionInInitializerError(e);
        }
    }

    static Thread startVirtual(String name, Runnable body) {
        try {
            return (Thread) START.invoke(NAME.invoke(OF_VIRTUAL.invoke(null), name), body);
        } catch (ReflectiveOperationException e) {
            throw new IllegalStateException(e);
        }
    }

    interface Body {
        void run() throws Exception;
    }

    /** Runs body on a virtual thread of that name and waits for it; its failure is rethrown. */
    static void onVirtual(String name, Body body) throws Exception {
        Throwable[] failure = {null};
        startVirtual(name, () -> {
            try {
                body.run();
            } catch (Throwable e) {
                failure[0] = e;
            }
        }).join();
        if (failure[0] != null) {
            throw new IllegalStateException(failure[0]);
        }
    }

    /** The carrier a virtual thread runs on now (its toString ends with "@carrier"). */
    static String carrier() {
        String text = Thread.currentThread().toString();
        return text.substring(text.indexOf('@') + 1);
    }

    /**
     * Holds lock until waiters more transaction threads wait for it than waited when it was taken,
     * then for millis more (so the waits last about millis however long the waiters took to start).
     */
    static void holdUntilWaitedFor(Object lock, CountDownLatch held, int waiters, long millis) {
        synchronized (lock) {
            int before = TransactionProbe.activeWaits();
            held.countDown();
            long giveUp = System.nanoTime() + 10_000_000_000L;
            while (TransactionProbe.activeWaits() < before + waiters && System.nanoTime() < giveUp) {
                TransactionScenarios.sleep(1);
            }
            TransactionScenarios.sleep(millis);
        }
    }

    /** A thread of that name (virtual or not, inside a transaction or not) holds lock (see above). */
    static Thread holder(String name, boolean virtual, boolean inTransaction, Object lock, int waiters)
            throws InterruptedException {
        CountDownLatch held = new CountDownLatch(1);
        Runnable body = () -> {
            if (inTransaction) {
                UT.joinTransactionNative(new Object(), 0);
            }
            holdUntilWaitedFor(lock, held, waiters, 200);
            if (inTransaction) {
                UT.leaveTransactionNative();
            }
        };
        Thread thread = virtual ? startVirtual(name, body) : new Thread(body, name);
        if (!virtual) {
            thread.start();
        }
        held.await();
        return thread;
    }

    /** The calling thread joins, waits for lock (held for 200 ms more by holder) and reports as prefix. */
    static void waitInTransaction(String prefix, Thread holder, Object lock) throws Exception {
        UT.joinTransactionNative(new Object(), 0);
        long joined = agentMillis();
        waitForLock(lock);
        holder.join();
        NativeTransactionSummary[] summaries = UT.fetchNativeSummaries();
        result(prefix + "shape", shape(summaries));
        UT.leaveTransactionNative();
        LockContentionSummary summary = waits(summaries);
        if (summary == null || summary.waits().isEmpty()) {
            return;
        }
        LongLockWait wait = summary.waits().get(0);
        result(prefix + "thread", wait.threadName);
        result(prefix + "method", wait.methodName);
        result(prefix + "stack_top", wait.stack.split("\n")[0]);
        result(prefix + "duration", wait.durationMillis);
        result(prefix + "start_inside", wait.startMillis >= joined - 1);
        result(prefix + "blocker", wait.blockerName);
        result(prefix + "blocker_stack_shows_holder", wait.blockerStack != null
                && wait.blockerStack.contains("Lvorkel/test/VirtualTransactionScenarios;.holdUntilWaitedFor:"));
        result(prefix + "no_owner", wait.detectionFailures[1]);
    }

    /**
     * One wait of about 200 ms each: a virtual waiter for a platform holder, for a virtual holder inside a
     * transaction and for one outside; a platform waiter for a virtual holder inside a transaction.
     * Then file reads and timings of a virtual thread's transaction, with a virtual thread outside
     * any transaction reading the same file meanwhile.
     */
    public static void holders(String[] args) throws Exception {
        result("configured", configure() && LC.setEnabled(true));
        try (Detector detector = new Detector(10)) {
            Object lock = new Inventory();
            Thread platform = holder("holder", false, false, lock, 1);
            onVirtual("waiter", () -> waitInTransaction("platform_holder.", platform, lock));
            Thread virtualInside = holder("virtual-holder", true, true, lock, 1);
            onVirtual("waiter", () -> waitInTransaction("virtual_holder.", virtualInside, lock));
            Thread virtualOutside = holder("virtual-holder", true, false, lock, 1);
            onVirtual("waiter", () -> waitInTransaction("outside_holder.", virtualOutside, lock));
            Thread forPlatform = holder("virtual-holder", true, true, lock, 1);
            waitInTransaction("platform_waiter.", forPlatform, lock);
        }
        fileReads(args[1]);
        result("virtual_records_after", TransactionProbe.virtualRecords());
    }

    static void fileReads(String dir) throws Exception {
        File file = FileStreams.file(dir, "read.bin", 64 * 1024);
        FileStreamTrackerNativeImpl.instance().setEnabled(true);
        CountDownLatch inside = new CountDownLatch(1);
        CountDownLatch done = new CountDownLatch(1);
        Thread outsider = startVirtual("outsider", () -> {
            try {
                inside.await();
                readAll(file, 16);  // meanwhile, outside every transaction
                done.countDown();
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        });
        onVirtual("reader", () -> {
            UT.joinTransactionNative(new Object(), 0);
            inside.countDown();
            readAll(file, 1);
            done.await();
            NativeTransactionSummary[] summaries = UT.fetchNativeSummaries();
            UT.leaveTransactionNative();
            result("reads.timings", FileStreams.timings((TimingOperationSummary) summaries[0]));
            FileStreams.rows("reads.row.", (RecurringStreamOperationSummary) summaries[1]);
            FileStreams.printResults();
        });
        outsider.join();
    }

    /** Reads the file times times in 4 KiB blocks. */
    static void readAll(File file, int times) throws Exception {
        byte[] block = new byte[4096];
        for (int i = 0; i < times; i++) {
            try (FileInputStream in = new FileInputStream(file)) {
                while (in.read(block) > 0) {
                    // the whole file
                }
            }
        }
    }

    /**
     * Eight virtual threads join and wait for a monitor that a platform thread holds, while the
     * platform thread main, inside a transaction, waits for another: each keeps its own wait. A wait
     * for a monitor that a virtual thread outside every transaction holds has no blocker. Then the
     * records of threads that ended inside their transactions are swept.
     */
    public static void mixed(String[] args) throws Exception {
        result("configured", configure() && LC.setEnabled(true));
        Object shared = new Object();
        Object lock = new Inventory();
        AtomicInteger ownWaits = new AtomicInteger();
        AtomicInteger finished = new AtomicInteger();
        try (Detector detector = new Detector(10)) {
            Thread sharedHolder = holder("shared-holder", false, false, shared, 8);
            List<Thread> virtual = new ArrayList<>();
            for (int i = 0; i < 8; i++) {
                String name = "virtual-" + i;
                virtual.add(startVirtual(name, () -> {
                    UT.joinTransactionNative(new Object(), 0);
                    waitForLock(shared);
                    LockContentionSummary summary = waits(UT.fetchNativeSummaries());
                    UT.leaveTransactionNative();
                    if (summary != null && summary.waits().size() == 1
                            && name.equals(summary.waits().get(0).threadName)
                            && "shared-holder".equals(summary.waits().get(0).blockerName)) {
                        ownWaits.incrementAndGet();
                    }
                    finished.incrementAndGet();
                }));
            }
            while (TransactionProbe.activeWaits() < 8) {
                TransactionScenarios.sleep(1);
            }
            UT.joinTransactionNative(new Object(), 0);
            Thread holder = holder("holder", false, false, lock, 1);
            waitForLock(lock);
            holder.join();
            for (Thread thread : virtual) {
                thread.join();
            }
            sharedHolder.join();
            NativeTransactionSummary[] summaries = UT.fetchNativeSummaries();
            result("platform", shape(summaries));
            LongLockWait wait = waits(summaries).waits().get(0);
            result("platform_thread", wait.threadName);
            result("platform_lock", wait.lockClass);

            Thread outside = holder("virtual-holder", true, false, lock, 1);
            UT.joinTransactionNative(new Object(), 0);
            waitForLock(lock);
            outside.join();
            LockContentionSummary owned = waits(UT.fetchNativeSummaries());
            LongLockWait ownedWait = owned == null ? null : owned.waits().get(0);
            result("virtual_owner_blocker", ownedWait == null ? "no wait" : ownedWait.blockerName);
            result("virtual_owner_no_owner", ownedWait == null ? "no wait" : ownedWait.detectionFailures[1] > 0);
            UT.leaveTransactionNative();
        }
        result("virtual_finished", finished.get());
        result("virtual_own_waits", ownWaits.get());
        endedInside();
    }

    /** What the transaction threads of "many" found, summed over all of them. */
    static final List<String> COUNTS =
            Arrays.asList("transactions", "records", "blocked", "foreign", "unmatched", "lost", "moved");
    static final AtomicLongArray COUNTED = new AtomicLongArray(COUNTS.size());

    static void count(String what, String detail) {
        COUNTED.incrementAndGet(COUNTS.indexOf(what));
        if (detail != null) {
            System.out.println(what + ": " + detail);
        }
    }

    /**
     * THREADS virtual threads (default 10,000) enter 8 monitors ROUNDS times each, now and then
     * sleeping 35 ms inside; one in a hundred is inside a transaction and checks its records against
     * the waits it timed itself ({start, end, resumed on another carrier}): each record is its own
     * and lies inside one of its waits, and every wait of at least 60 ms has its record.
     */
    public static void many(String[] args) throws Exception {
        result("configured", configure() && LC.setEnabled(true));
        int threads = Integer.parseInt(args[1]);
        int rounds = Integer.parseInt(args[2]);
        Object[] monitors = new Object[8];
        for (int i = 0; i < monitors.length; i++) {
            monitors[i] = new Inventory();
        }
        try (Detector detector = new Detector(10)) {
            List<Thread> started = new ArrayList<>();
            for (int t = 0; t < threads; t++) {
                boolean inTransaction = t % 100 == 0;
                String name = (inTransaction ? "tx-" : "vt-") + t;
                long seed = t;
                started.add(startVirtual(name, () -> {
                    Random random = new Random(seed);
                    List<long[]> entries = new ArrayList<>();
                    if (inTransaction) {
                        UT.joinTransactionNative(new Object(), 0);
                    }
                    for (int i = 0; i < rounds; i++) {
                        Object monitor = monitors[random.nextInt(monitors.length)];
                        boolean sleep = random.nextInt(100) == 0;
                        String before = inTransaction ? carrier() : null;
                        long start = inTransaction ? agentMillis() : 0;
                        enterAt(20, monitor, sleep);
                        if (inTransaction) {
                            long end = agentMillis() - (sleep ? 35 : 0);
                            entries.add(new long[] {start, end, before.equals(carrier()) ? 0 : 1});
                        }
                    }
                    if (inTransaction) {
                        LockContentionSummary summary = waits(UT.fetchNativeSummaries());
                        UT.leaveTransactionNative();
                        check(name, summary == null ? new ArrayList<LongLockWait>() : summary.waits(), entries);
                    }
                }));
            }
            for (Thread thread : started) {
                thread.join();
            }
        }
        for (int i = 0; i < COUNTS.size(); i++) {
            result(COUNTS.get(i), COUNTED.get(i));
        }
        result("active_after", TransactionProbe.activeWaits());
        result("virtual_records_after", TransactionProbe.virtualRecords());
    }

    static void check(String self, List<LongLockWait> waits, List<long[]> entries) {
        count("transactions", null);
        boolean[] matched = new boolean[entries.size()];
        for (LongLockWait wait : waits) {
            count("records", null);
            if (wait.blockerName != null) {
                count("blocked", null);
            }
            if (!self.equals(wait.threadName) || self.equals(wait.blockerName) || !"enterAt".equals(wait.methodName)
                    || !wait.stack.contains("Lvorkel/test/VirtualTransactionScenarios;.lambda$many$")) {
                count("foreign", self + " has " + wait.threadName + " in " + wait.methodName + " blocked by "
                        + wait.blockerName);
                continue;
            }
            int found = -1;
            for (int i = 0; i < entries.size() && found < 0; i++) {
                long[] entry = entries.get(i);
                if (!matched[i] && wait.startMillis >= entry[0] - 2
                        && wait.startMillis + wait.durationMillis <= entry[1] + 2) {
                    found = i;
                }
            }
            if (found < 0) {
                count("unmatched", self + ": " + wait.durationMillis + " ms from " + wait.startMillis);
                continue;
            }
            matched[found] = true;
            if (entries.get(found)[2] != 0) {
                count("moved", null);
            }
        }
        for (int i = 0; i < entries.size(); i++) {
            long[] entry = entries.get(i);
            if (!matched[i] && entry[1] - entry[0] >= 60) {
                count("lost", self + ": " + (entry[1] - entry[0]) + " ms from " + entry[0]);
            }
        }
    }

    /**
     * Ten virtual threads end inside their transactions (each joined twice: a second join without
     * a leave keeps the thread's one record); seventy more then join at once, and the sweep of those
     * joins (the first after 64 records were made) frees the ten records, and with them their place
     * in the count of threads inside transactions.
     */
    static void endedInside() throws Exception {
        for (int i = 0; i < 10; i++) {
            onVirtual("ended-" + i, () -> {
                UT.joinTransactionNative(new Object(), 0);
                UT.joinTransactionNative(new Object(), 0);
            });
        }
        result("ended_records", TransactionProbe.virtualRecords());
        CountDownLatch joined = new CountDownLatch(70);
        CountDownLatch leave = new CountDownLatch(1);
        List<Thread> later = new ArrayList<>();
        for (int i = 0; i < 70; i++) {
            later.add(startVirtual("later-" + i, () -> {
                UT.joinTransactionNative(new Object(), 0);
                joined.countDown();
                try {
                    leave.await();
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
                UT.leaveTransactionNative();
            }));
        }
        joined.await();
        result("records_while_joined", TransactionProbe.virtualRecords());
        result("inside_while_joined", TransactionProbe.transactionsInside());
        leave.countDown();
        for (Thread thread : later) {
            thread.join();
        }
        result("records_after_sweep", TransactionProbe.virtualRecords());
        result("inside_after_sweep", TransactionProbe.transactionsInside());
        result("spares_after_leaves", TransactionProbe.spareRecords());
    }
}
