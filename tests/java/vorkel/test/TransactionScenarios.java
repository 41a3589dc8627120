package vorkel.test;

import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.Semaphore;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;

import vorkel.runtime.agent.probes.contention.LockContentionNativeImpl;
import vorkel.runtime.agent.probes.contention.LockContentionSummary;
import vorkel.runtime.agent.probes.contention.LongLockWait;
import vorkel.runtime.agent.probes.ut.natives.NativeTransactionSummary;
import vorkel.runtime.agent.probes.ut.natives.RootCausePresenceMarker;
import vorkel.runtime.agent.probes.ut.natives.TimingOperationSummary;
import vorkel.runtime.agent.probes.ut.natives.UserTransactionNativeImpl;
import vorkel.runtime.agent.tools.timings.VorkelClockNativeImpl;
import vorkel.runtime.agent.transactions.Transactions;

import static vorkel.test.Harness.result;

/**
 * In-JVM halves of the tests of user transactions, the contention probe and blocker detection.
 * Except for "reports", the agent runs with transactions=false and the scenario drives the natives.
 */
public final class TransactionScenarios {
    private TransactionScenarios() {
    }

    static final class Inventory {
    }

    static final class Excluded {
    }

    static final UserTransactionNativeImpl UT = new UserTransactionNativeImpl();
    static final LockContentionNativeImpl LC = new LockContentionNativeImpl();

    /** The summary array as "timings,streams,marker,waits": null, marker or the number of waits. */
    static String shape(NativeTransactionSummary[] summaries) {
        if (summaries == null) {
            return "none";
        }
        StringBuilder text = new StringBuilder();
        for (NativeTransactionSummary summary : summaries) {
            if (text.length() > 0) {
                text.append(',');
            }
            if (summary == null) {
                text.append("null");
            } else if (summary instanceof RootCausePresenceMarker) {
                text.append("marker");
            } else if (summary instanceof LockContentionSummary) {
                text.append(((LockContentionSummary) summary).waits().size());
            } else {
                text.append(summary.getClass().getSimpleName());
            }
        }
        return text.toString();
    }

    /**
     * The agent's wall clock, which stamps the waits: anchored to Java's at start, it can drift
     * from System.currentTimeMillis by milliseconds while the system clock is adjusted.
     */
    static long agentMillis() {
        return VorkelClockNativeImpl.getMillisFromPerfCounter();
    }

    static LockContentionSummary waits(NativeTransactionSummary[] summaries) {
        return summaries == null ? null : (LockContentionSummary) summaries[UserTransactionNativeImpl.LOCK_CONTENTION];
    }

    static void holdLock(Object lock, CountDownLatch held, long millis) {
        synchronized (lock) {
            held.countDown();
            sleep(millis);
        }
    }

    static void waitForLock(Object lock) {
        synchronized (lock) {
            lock.hashCode();
        }
    }

    static void excludedWait(Object lock) {
        synchronized (lock) {
            lock.hashCode();
        }
    }

    static void sleep(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /** A thread named "holder" holds lock for millis while this thread waits for it; the wait's ms. */
    static long contend(Object lock, long millis, boolean excludedMethod) throws InterruptedException {
        CountDownLatch held = new CountDownLatch(1);
        Thread holder = new Thread(() -> holdLock(lock, held, millis), "holder");
        holder.start();
        held.await();
        long start = System.nanoTime();
        if (excludedMethod) {
            excludedWait(lock);
        } else {
            waitForLock(lock);
        }
        long waited = (System.nanoTime() - start) / 1_000_000;
        holder.join();
        return waited;
    }

    /** Calls runBlockerDetection every interval until stopped. */
    static final class Detector implements AutoCloseable {
        final AtomicBoolean running = new AtomicBoolean(true);
        final AtomicLong passes = new AtomicLong();
        final Thread thread;

        Detector(long intervalMillis) {
            thread = new Thread(() -> {
                while (running.get()) {
                    LC.runBlockerDetection();
                    passes.incrementAndGet();
                    sleep(intervalMillis);
                }
            }, "detector");
            thread.setDaemon(true);
            thread.start();
        }

        @Override
        public void close() throws InterruptedException {
            running.set(false);
            thread.join();
        }
    }

    static boolean configure() {
        String[] classes = {"L" + Excluded.class.getName().replace('.', '/') + ";"};
        String[] methods = {"Lvorkel/test/TransactionScenarios;", "excludedWait", "Lvorkel/test/TransactionScenarios;"};
        return LC.configure(classes, methods, LockContentionSummary.class, LongLockWait.class);
    }

    public static void natives(String[] args) throws Exception {
        Object tx = new Object();
        Object lock = new Inventory();
        result("supported", LC.isSupported());
        result("enable_before_configure", LC.setEnabled(true));
        result("fetch_never_joined", shape(UT.fetchNativeSummaries()));
        StringBuilder pending = new StringBuilder().append(UT.hasLongWaitsNative());
        result("configured", configure());
        result("configured_again", LC.configure(null, null, LockContentionSummary.class, LongLockWait.class));
        result("enabled", LC.setEnabled(true));
        try (Detector detector = new Detector(10)) {
            UT.joinTransactionNative(tx, 0);
            pending.append(',').append(UT.hasLongWaitsNative());
            result("quiet", shape(UT.fetchNativeSummaries()));
            TransactionProbe.registerOperation(1, 2);
            TransactionProbe.registerOperation(1, 5);
            TransactionProbe.registerOperation(3, 1);
            NativeTransactionSummary[] timed = UT.fetchNativeSummaries();
            result("timed", shape(timed));
            TimingOperationSummary timings = (TimingOperationSummary) timed[UserTransactionNativeImpl.TIMINGS];
            StringBuilder values = new StringBuilder();
            for (int kind = 0; kind < 4; kind++) {
                values.append(kind == 0 ? "" : " ").append(timings.count(kind)).append('/')
                        .append(timings.totalNanos(kind)).append('/').append(timings.maxNanos(kind));
            }
            result("timings", values);
            result("timed_again", shape(UT.fetchNativeSummaries()));

            long joined = agentMillis();
            UT.joinTransactionNative(tx, 0);
            result("measured", contend(lock, 220, false));
            long fetched = agentMillis();
            pending.append(',').append(UT.hasLongWaitsNative());
            NativeTransactionSummary[] summaries = UT.fetchNativeSummaries();
            pending.append(',').append(UT.hasLongWaitsNative());
            result("long_wait", shape(summaries));
            LongLockWait wait = waits(summaries).waits().get(0);
            result("lock_class", wait.lockClass);
            result("thread", wait.threadName);
            result("declaring_class", wait.declaringClass);
            result("method", wait.methodName);
            result("stack_top", wait.stack.split("\n")[0]);
            result("duration", wait.durationMillis);
            result("start_inside", wait.startMillis >= joined - 1 && wait.startMillis <= fetched + 1);
            result("blocker", wait.blockerName);
            result("blocker_stack_shows_holder", wait.blockerStack != null
                    && wait.blockerStack.contains("Lvorkel/test/TransactionScenarios;.holdLock:"));
            result("confirmed", wait.detectionsConfirmed);
            result("attempts", wait.detectionAttempts);
            result("second_fetch", shape(UT.fetchNativeSummaries()));
            UT.leaveTransactionNative();
            result("fetch_after_leave", shape(UT.fetchNativeSummaries()));
            result("long_waits_pending", pending.append(',').append(UT.hasLongWaitsNative()));

            contend(lock, 220, false);
            UT.joinTransactionNative(tx, 0);
            result("wait_outside", shape(UT.fetchNativeSummaries()));

            result("ten_ms_measured", contend(lock, 10, false));
            result("ten_ms", shape(UT.fetchNativeSummaries()));

            UT.joinTransactionNative(tx, 500);
            contend(lock, 220, false);
            result("under_threshold", shape(UT.fetchNativeSummaries()));

            UT.joinTransactionNative(tx, 0);
            contend(new Excluded(), 220, false);
            contend(lock, 220, true);
            result("excluded", shape(UT.fetchNativeSummaries()));

            UT.joinTransactionNative(tx, 0);
            contend(lock, 220, false);
            UT.joinTransactionNative(tx, 0);
            result("joined_twice", shape(UT.fetchNativeSummaries()));

            contend(lock, 220, false);
            result("disable", LC.setEnabled(false));
            result("fetch_disabled", shape(UT.fetchNativeSummaries()));
            LC.setEnabled(true);
            result("fetch_enabled_again", shape(UT.fetchNativeSummaries()));
        }
        missedDetection(tx, lock);
        endedOwner(tx, lock);
        cap(tx, lock);
        UT.leaveTransactionNative();
    }

    /** A detection whose wait ends while the monitor is examined: counted, reported by the next flush. */
    static void missedDetection(Object tx, Object lock) throws Exception {
        UT.joinTransactionNative(tx, 0);
        TransactionProbe.pauseExaminations(400);
        Thread detection = new Thread(() -> {
            while (TransactionProbe.activeWaits() == 0) {
                Thread.onSpinWait();
            }
            LC.runBlockerDetection();
        }, "detection-once");
        detection.start();
        contend(lock, 150, false);
        detection.join();
        result("paused_detections", TransactionProbe.pauseExaminations(0));
        LockContentionSummary summary = waits(UT.fetchNativeSummaries());
        result("missed_waits", summary == null ? "none" : summary.waits().size());
        result("missed", summary == null ? "none" : summary.missedDetections());
        result("missed_blocker", summary == null ? "none" : summary.waits().get(0).blockerName);
    }

    /** The owner releases the lock and ends before its stack is taken: no blocker, no error. */
    static void endedOwner(Object tx, Object lock) throws Exception {
        UT.joinTransactionNative(tx, 0);
        TransactionProbe.pauseAfterOwnerFound(300);
        Thread detection = new Thread(() -> {
            while (TransactionProbe.activeWaits() == 0) {
                Thread.onSpinWait();
            }
            LC.runBlockerDetection();
        }, "detection-once");
        detection.start();
        contend(lock, 100, false);  // ends with the holder's end
        detection.join();
        result("ended_owner_pauses", TransactionProbe.pauseAfterOwnerFound(0));
        LockContentionSummary summary = waits(UT.fetchNativeSummaries());
        result("ended_owner_blocker", summary == null ? "none" : summary.waits().get(0).blockerName);
    }

    /** 1000 records at most; the 1001st wait is dropped and leaves the root-cause flag alone. */
    static void cap(Object tx, Object lock) throws Exception {
        long floor = TransactionProbe.setMinimumWaitMillis(0);
        UT.joinTransactionNative(tx, 0);
        Semaphore next = new Semaphore(0);
        Semaphore held = new Semaphore(0);
        AtomicBoolean running = new AtomicBoolean(true);
        Thread holder = new Thread(() -> {
            while (running.get()) {
                next.acquireUninterruptibly();
                synchronized (lock) {
                    held.release();
                    sleep(2);
                }
            }
        }, "holder");
        holder.start();
        Runnable contendOnce = () -> {
            next.release();
            held.acquireUninterruptibly();
            waitForLock(lock);
        };
        for (int rounds = 0; TransactionProbe.ownWaitState() / 10 < 1000 && rounds < 5000; rounds++) {
            contendOnce.run();
        }
        TransactionProbe.clearRootCause();
        contendOnce.run();
        contendOnce.run();
        running.set(false);
        next.release();
        holder.join();
        result("cap_state", TransactionProbe.ownWaitState());
        TransactionProbe.setMinimumWaitMillis(floor);
        LockContentionSummary summary = waits(UT.fetchNativeSummaries());
        result("cap_fetched", summary == null ? "none" : summary.waits().size());
    }

    /** 16 transaction threads on 4 monitors, blocker detection every 10 ms, in rounds. */
    /**
     * A transaction thread that wins a contended monitor logs from MonitorContendedEntered while a
     * thread that holds the Java logger's lock waits for that monitor: the line must go to the
     * native log only, or the two threads hang each other. Rounds, since which blocked thread gets
     * the monitor first is the JVM's choice.
     */
    public static void loggerLockInMonitorEvent(String[] args) throws Exception {
        result("configured", configure() && LC.setEnabled(true));
        java.lang.reflect.Field loggerField = Class.forName("vorkel.runtime.agent.bootstrap.Agent").getDeclaredField("logger");
        loggerField.setAccessible(true);
        Object logger = loggerField.get(null);
        java.lang.reflect.Field linesField = logger.getClass().getDeclaredField("lines");
        linesField.setAccessible(true);
        Object loggerLock = linesField.get(logger);
        TransactionProbe.logInsideMonitorEntered(true);
        boolean finished = true;
        for (int round = 0; round < 5 && finished; round++) {
            Object lock = new Object();
            CountDownLatch held = new CountDownLatch(1);
            Thread holder = new Thread(() -> holdLock(lock, held, 150), "holder");
            holder.start();
            held.await();
            Thread loggerLockHolder = new Thread(() -> {
                synchronized (loggerLock) {
                    waitForLock(lock);
                }
            }, "logger-lock-holder");
            loggerLockHolder.start();
            while (loggerLockHolder.getState() != Thread.State.BLOCKED) {
                Thread.sleep(1);
            }
            Thread waiter = new Thread(() -> {
                UT.joinTransactionNative(new Object(), 0);
                waitForLock(lock);
                UT.leaveTransactionNative();
            }, "waiter");
            waiter.start();
            for (Thread thread : new Thread[] {holder, loggerLockHolder, waiter}) {
                thread.join(10000);
                finished &= !thread.isAlive();
            }
        }
        TransactionProbe.logInsideMonitorEntered(false);
        result("no_deadlock", finished);
        if (!finished) {  // the logger's lock is held for good: nothing more can be asked of it
            System.out.flush();
            Runtime.getRuntime().halt(0);
        }
        result("reached_java_logger", String.join("\n", ((vorkel.runtime.agent.bootstrap.AgentLogger) logger).lines())
                .contains("logged inside MonitorContendedEntered"));
    }

    public static void load(String[] args) throws Exception {
        result("configured", configure() && LC.setEnabled(true));
        int rounds = Integer.parseInt(args[1]);
        long roundMillis = Long.parseLong(args[2]);
        Object[] monitors = {new Inventory(), new Inventory(), new Inventory(), new Inventory()};
        AtomicBoolean running = new AtomicBoolean(true);
        AtomicLong waits = new AtomicLong();
        AtomicLong blocked = new AtomicLong();
        AtomicLong transactions = new AtomicLong();
        AtomicInteger inconsistent = new AtomicInteger();
        List<Thread> threads = new ArrayList<>();
        for (int t = 0; t < 16; t++) {
            int seed = t;
            Thread thread = new Thread(() -> {
                Random random = new Random(seed);
                Object tx = new Object();
                String self = Thread.currentThread().getName();
                while (running.get()) {
                    long joined = agentMillis();
                    UT.joinTransactionNative(tx, 0);
                    for (int i = 0; i < 20; i++) {
                        enterAt(40, monitors[random.nextInt(monitors.length)], random.nextInt(150) == 0);
                    }
                    long fetched = agentMillis();
                    LockContentionSummary summary = waits(UT.fetchNativeSummaries());
                    UT.leaveTransactionNative();
                    transactions.incrementAndGet();
                    if (summary == null) {
                        continue;
                    }
                    for (LongLockWait wait : summary.waits()) {
                        waits.incrementAndGet();
                        if (wait.blockerName != null) {
                            blocked.incrementAndGet();
                        }
                        boolean consistent = self.equals(wait.threadName) && !self.equals(wait.blockerName)
                                && wait.durationMillis >= 30 && wait.startMillis >= joined - 1
                                && wait.startMillis <= fetched + 1 && wait.stack != null
                                && wait.lockClass.equals("Lvorkel/test/TransactionScenarios$Inventory;");
                        if (!consistent) {
                            inconsistent.incrementAndGet();
                            System.out.println("inconsistent wait of " + self + ": " + wait.threadName + " blocked by "
                                    + wait.blockerName + " for " + wait.durationMillis + " ms from " + wait.startMillis
                                    + " (transaction " + joined + " to " + fetched + ")");
                        }
                    }
                }
            }, "tx-" + t);
            threads.add(thread);
            thread.start();
        }
        try (Detector detector = new Detector(10)) {
            for (int round = 1; round <= rounds; round++) {
                Thread.sleep(roundMillis);
                result("heap_round_" + round, TransactionProbe.nativeHeapInUse());
                result("waits_round_" + round, waits.get());
            }
            running.set(false);
            for (Thread thread : threads) {
                thread.join();
            }
            result("passes", detector.passes.get());
        }
        result("transactions", transactions.get());
        result("waits", waits.get());
        result("blocked", blocked.get());
        result("inconsistent", inconsistent.get());
        result("active_after", TransactionProbe.activeWaits());
    }

    /** Enters the monitor depth frames down (stack texts of some size), sleeping 35 ms inside when asked. */
    static void enterAt(int depth, Object monitor, boolean sleepInside) {
        if (depth > 0) {
            enterAt(depth - 1, monitor, sleepInside);
            return;
        }
        synchronized (monitor) {
            if (sleepInside) {
                sleep(35);
            } else {
                Thread.onSpinWait();
            }
        }
    }

    /** The public API: what reaches the collector. */
    public static void reports(String[] args) throws Exception {
        Object lock = new Inventory();
        result("active", Transactions.active());
        Transactions.run("checkout", () -> {
            try {
                contend(lock, 220, false);
            } catch (InterruptedException e) {
                throw new IllegalStateException(e);
            }
        });
        Transactions.run("quiet", () -> lock.hashCode());
        Transactions.run("slow", () -> sleep(350));
        sleep(200);  // no transaction open: the detection thread goes idle
        Transactions.run("outer", () -> Transactions.run("inner", () -> {
            try {
                contend(lock, 220, false);
            } catch (InterruptedException e) {
                throw new IllegalStateException(e);
            }
        }));
        result("sent", Transactions.awaitReports(20000));
    }
}
