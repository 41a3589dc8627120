import java.io.File;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.LongAdder;

import vorkel.runtime.agent.transactions.Transactions;

/**
 * One JVM's run of the virtual-thread server workload of bench/virtual_thread_bench.sh: a driver
 * keeps IN_FLIGHT requests running, each on a virtual thread of its own (an executor that starts
 * one per task, as servers on JDK 21 and later do). A request is a transaction
 * (Transactions.run: without a started agent, or with transactions=false, it only runs the body,
 * so every configuration runs the same code; with the floor agent, its two natives instead):
 * SECTIONS short critical sections on one of MONITORS shared monitors with some work between them,
 * a 4 KiB file read through FileInputStream (from the page cache), and a 1 ms sleep standing for a
 * call to another service, during which the virtual thread unmounts.
 *
 * <p>With the argument "lookups" (and the test kit's library and jar) it prints instead what one
 * look-up of the calling thread's transaction costs, as the probes make it in every hooked file
 * operation and contended monitor entry: "RESULT platform_ns=N virtual_ns=N
 * virtual_while_one_inside_ns=N virtual_inside_ns=N" (a platform thread and a virtual thread
 * outside a transaction while no virtual thread is inside one, a virtual thread outside while
 * another is inside, one inside).
 *
 * <p>Arguments: IN_FLIGHT MONITORS WARMUP_MS MEASURE_MS DIR. After WARMUP_MS it counts finished
 * requests for MEASURE_MS and prints "RESULT requests_per_s=N requests_per_cpu_s=M": per second,
 * and per second of the process's CPU time (every thread of the JVM, the agent's included), which
 * other load on the machine disturbs less.
 */
public final class VirtualThreadBench {
    static final int SECTIONS = 4;
    static final int INSIDE = 100;
    static final int OUTSIDE = 10000;
    static final int FILES = 16;
    /** With -Dvorkel.bench.floor=true a request is wrapped in the floor agent's natives instead. */
    static final boolean FLOOR = Boolean.getBoolean("vorkel.bench.floor");

    /** Natives of bench/virtual_thread_floor_agent.cpp: store and clear a thread-local record. */
    static native void floorJoin();

    static native void floorLeave();

    static final class Shared {
        long value;
    }

    /** Rounds of a xorshift step: a dependent chain that no JIT folds. */
    static long work(long seed, int rounds) {
        long x = seed | 1;
        for (int i = 0; i < rounds; i++) {
            x ^= x << 13;
            x ^= x >>> 7;
            x ^= x << 17;
        }
        return x;
    }

    static long read(File file, byte[] buffer) {
        long sum = 0;
        try (FileInputStream in = new FileInputStream(file)) {
            int n;
            while ((n = in.read(buffer)) > 0) {
                sum += buffer[n - 1];
            }
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
        return sum;
    }

    public static void main(String[] args) throws Exception {
        if (args[0].equals("lookups")) {
            lookups();
            return;
        }
        int inFlight = Integer.parseInt(args[0]);
        int monitorCount = Integer.parseInt(args[1]);
        long warmupMillis = Long.parseLong(args[2]);
        long measureMillis = Long.parseLong(args[3]);
        File dir = new File(args[4]);
        File[] files = new File[FILES];
        for (int i = 0; i < FILES; i++) {
            files[i] = new File(dir, "page-" + i + ".bin");
            try (FileOutputStream out = new FileOutputStream(files[i])) {
                out.write(new byte[4096]);
            }
        }
        Shared[] monitors = new Shared[monitorCount];
        for (int i = 0; i < monitorCount; i++) {
            monitors[i] = new Shared();
        }
        ExecutorService executor = Executors.newVirtualThreadPerTaskExecutor();
        Semaphore slots = new Semaphore(inFlight);
        LongAdder done = new LongAdder();
        LongAdder sink = new LongAdder();
        Thread driver = new Thread(() -> {
            long n = 0;
            while (!Thread.currentThread().isInterrupted()) {
                try {
                    slots.acquire();
                } catch (InterruptedException e) {
                    return;
                }
                long seed = ++n;
                executor.execute(() -> {
                    try {
                        if (FLOOR) {
                            floorJoin();
                            try {
                                sink.add(request(seed, monitors, files));
                            } finally {
                                floorLeave();
                            }
                        } else {
                            Transactions.run("request", () -> sink.add(request(seed, monitors, files)));
                        }
                        done.increment();
                    } finally {
                        slots.release();
                    }
                });
            }
        }, "driver");
        driver.start();
        com.sun.management.OperatingSystemMXBean os =
                (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
        Thread.sleep(warmupMillis);
        long before = done.sum();
        long cpuBefore = os.getProcessCpuTime();
        long start = System.nanoTime();
        Thread.sleep(measureMillis);
        long after = done.sum();
        double cpuSeconds = (os.getProcessCpuTime() - cpuBefore) / 1e9;
        double seconds = (System.nanoTime() - start) / 1e9;
        driver.interrupt();
        driver.join();
        executor.shutdown();
        executor.awaitTermination(60, TimeUnit.SECONDS);
        System.out.printf("RESULT requests_per_s=%.0f requests_per_cpu_s=%.0f sink=%d%n", (after - before) / seconds,
                (after - before) / cpuSeconds, sink.sum() & 1);
    }

    static final int LOOKUPS = 10_000_000;

    /** The median of five measurements of lookupNanos on the calling thread. */
    static long lookupNanos() throws Exception {
        java.lang.reflect.Method lookup = Class.forName("vorkel.test.TransactionProbe").getMethod("lookupNanos",
                int.class);
        long[] nanos = new long[5];
        for (int i = 0; i < nanos.length; i++) {
            nanos[i] = (Long) lookup.invoke(null, LOOKUPS);
        }
        java.util.Arrays.sort(nanos);
        return nanos[nanos.length / 2];
    }

    interface Measure {
        long run() throws Exception;
    }

    static long onVirtual(Measure measure) throws Exception {
        long[] result = {-1};
        Thread.ofVirtual().start(() -> {
            try {
                result[0] = measure.run();
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        }).join();
        return result[0];
    }

    static void lookups() throws Exception {
        vorkel.runtime.agent.probes.ut.natives.UserTransactionNativeImpl natives =
                new vorkel.runtime.agent.probes.ut.natives.UserTransactionNativeImpl();
        long platform = lookupNanos();
        long virtual = onVirtual(VirtualThreadBench::lookupNanos);
        java.util.concurrent.CountDownLatch joined = new java.util.concurrent.CountDownLatch(1);
        java.util.concurrent.CountDownLatch leave = new java.util.concurrent.CountDownLatch(1);
        Thread inside = Thread.ofVirtual().start(() -> {
            natives.joinTransactionNative(new Object(), 0);
            joined.countDown();
            try {
                leave.await();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            natives.leaveTransactionNative();
        });
        joined.await();
        long whileInside = onVirtual(VirtualThreadBench::lookupNanos);
        leave.countDown();
        inside.join();
        long insideNanos = onVirtual(() -> {
            natives.joinTransactionNative(new Object(), 0);
            long nanos = lookupNanos();
            natives.leaveTransactionNative();
            return nanos;
        });
        System.out.printf("RESULT platform_ns=%d virtual_ns=%d virtual_while_one_inside_ns=%d virtual_inside_ns=%d%n",
                platform, virtual, whileInside, insideNanos);
    }

    static long request(long seed, Shared[] monitors, File[] files) {
        long y = work(seed, 3);
        byte[] buffer = new byte[4096];
        for (int i = 0; i < SECTIONS; i++) {
            Shared monitor = monitors[(int) ((y >>> 33) % monitors.length)];
            synchronized (monitor) {
                monitor.value = work(monitor.value + y, INSIDE);
            }
            y = work(y, OUTSIDE);
        }
        y += read(files[(int) (seed % FILES)], buffer);
        try {
            Thread.sleep(1);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        return y;
    }
}
