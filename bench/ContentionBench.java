import java.lang.management.ManagementFactory;
import java.lang.management.ThreadInfo;
import java.lang.management.ThreadMXBean;
import java.util.concurrent.atomic.AtomicBoolean;

import vorkel.runtime.agent.transactions.Transactions;

/**
 * One JVM's run of the contended-monitor workload of bench/contention_bench.sh: THREADS threads
 * serve transactions (Transactions.run) of 50 short critical sections each on MONITORS shared
 * monitors, with some work outside them (INSIDE and OUTSIDE rounds of a xorshift step, a few
 * nanoseconds each). Without a started agent, Transactions.run only runs the
 * body, so every configuration runs the same code.
 *
 * <p>Arguments: THREADS MONITORS WARMUP_MS MEASURE_MS INSIDE OUTSIDE. After WARMUP_MS it counts critical sections for MEASURE_MS and prints
 * "RESULT ops_per_s=N blocked_per_s=N": the sections done per second, and how often per second
 * the workers blocked to enter a monitor (the JVM's own count: the contended entries that every
 * configuration sees the same way).
 */
public final class ContentionBench {
    static final int SECTIONS_PER_TRANSACTION = 50;

    /** A worker's count of finished sections, alone on its cache lines. */
    static final class Worker {
        long p0, p1, p2, p3, p4, p5, p6;
        volatile long sections;
        long q0, q1, q2, q3, q4, q5, q6;
        long sink;
    }

    static final class Shared {
        long value;
    }

    /** Rounds of a xorshift step: a dependent chain that no JIT folds (a multiply-add chain it can). */
    static long work(long seed, int rounds) {
        long x = seed | 1;
        for (int i = 0; i < rounds; i++) {
            x ^= x << 13;
            x ^= x >>> 7;
            x ^= x << 17;
        }
        return x;
    }

    public static void main(String[] args) throws Exception {
        int threads = Integer.parseInt(args[0]);
        int monitorCount = Integer.parseInt(args[1]);
        long warmupMillis = Long.parseLong(args[2]);
        long measureMillis = Long.parseLong(args[3]);
        int inside = Integer.parseInt(args[4]);
        int outside = Integer.parseInt(args[5]);
        Shared[] monitors = new Shared[monitorCount];
        for (int i = 0; i < monitorCount; i++) {
            monitors[i] = new Shared();
        }
        AtomicBoolean running = new AtomicBoolean(true);
        Worker[] workers = new Worker[threads];
        Thread[] started = new Thread[threads];
        for (int t = 0; t < threads; t++) {
            Worker worker = new Worker();
            workers[t] = worker;
            long seed = t + 1;
            started[t] = new Thread(() -> {
                long x = seed;
                while (running.get()) {
                    long[] state = {x};
                    Transactions.run("order", () -> {
                        long y = state[0];
                        for (int i = 0; i < SECTIONS_PER_TRANSACTION; i++) {
                            Shared monitor = monitors[(int) ((y >>> 33) % monitorCount)];
                            synchronized (monitor) {
                                monitor.value = work(monitor.value + y, inside);
                            }
                            y = work(y, outside);
                        }
                        state[0] = y;
                    });
                    x = state[0];
                    worker.sections += SECTIONS_PER_TRANSACTION;
                }
                worker.sink = x;
            }, "worker-" + t);
            started[t].start();
        }
        ThreadMXBean mx = ManagementFactory.getThreadMXBean();
        long[] ids = new long[threads];
        for (int t = 0; t < threads; t++) {
            ids[t] = started[t].getId();
        }
        Thread.sleep(warmupMillis);
        long sectionsBefore = sections(workers);
        long blockedBefore = blocked(mx, ids);
        long start = System.nanoTime();
        Thread.sleep(measureMillis);
        long sectionsAfter = sections(workers);
        long blockedAfter = blocked(mx, ids);
        double seconds = (System.nanoTime() - start) / 1e9;
        running.set(false);
        for (Thread thread : started) {
            thread.join();
        }
        System.out.printf("RESULT ops_per_s=%.0f blocked_per_s=%.0f%n", (sectionsAfter - sectionsBefore) / seconds,
                (blockedAfter - blockedBefore) / seconds);
    }

    static long sections(Worker[] workers) {
        long sum = 0;
        for (Worker worker : workers) {
            sum += worker.sections;
        }
        return sum;
    }

    static long blocked(ThreadMXBean mx, long[] ids) {
        long sum = 0;
        for (ThreadInfo info : mx.getThreadInfo(ids)) {
            if (info != null) {
                sum += info.getBlockedCount();
            }
        }
        return sum;
    }
}
