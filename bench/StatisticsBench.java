import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CyclicBarrier;

import vorkel.runtime.agent.collection.RuntimeStatistic;
import vorkel.test.StatisticsProbe;

/**
 * Nanoseconds per addInstanceRealInternal call beside the bare JVMTI SetTag of the tagging
 * environment, with 1 and 2 threads. Run by bench/statistics_bench.sh in a JVM with the test kit
 * as its agent.
 *
 * <p>Each round and thread takes three batches of fresh objects and times, one call per object:
 * <ol>
 * <li>bare SetTag on batch 1, objects never tagged (the JVM also gives each its identity hash);</li>
 * <li>addInstanceRealInternal on batch 2, objects never tagged, with the class index the Java
 * half keeps from an earlier tag: comparable with step 1;</li>
 * <li>after batch 1's tags were removed, bare SetTag on batch 1 again;</li>
 * <li>after they were removed again, addInstanceRealInternal on batch 1 with the known class
 * index: the same objects in the same state as step 3;</li>
 * <li>addInstanceRealInternal on batch 3, never tagged, with class index 0 (the index is read
 * from the Class object's tag on every call);</li>
 * <li>bare GetTag on the Class object, the extra JVMTI call of step 5.</li>
 * </ol>
 * The allocation records exist before anything is timed; each batch and thread has a generation
 * of its own (a new generation record per 4000 calls). The batches then become garbage and their
 * ObjectFree events are handled between rounds (a collection and a heap call, untimed), so that
 * the JVM's tag map keeps the size it has in an application with regular collections. With 2
 * threads both run each step at the same time (a barrier between steps).
 */
public final class StatisticsBench {
    static final int BATCH = 4000;  // under the 4095 instances of one generation key
    static final long BARE_TAG = 1;  // a class-index-like tag, ignored by the statistics on free
    static final int STEPS = 6;
    static final String[] NAMES = {"bare SetTag, never tagged", "addInstanceRealInternal, never tagged",
        "bare SetTag, tagged before", "addInstanceRealInternal, tagged before",
        "addInstanceRealInternal, never tagged, index 0", "bare GetTag of the Class object"};

    static final class Payload {
        long value;
    }

    static final String NAME = Payload.class.getName();
    static final String BIRTHPLACE = "StatisticsBench.round:1";
    static final int POINT = 100;
    static int classIndex;

    /** Per step: nanoseconds of all measured rounds summed, and per-round values for the median. */
    static final class Times {
        final long[] total = new long[STEPS];
        final List<long[]> rounds = new ArrayList<>();
    }

    static Payload[] batch() {
        Payload[] batch = new Payload[BATCH];
        for (int i = 0; i < BATCH; i++) {
            batch[i] = new Payload();
        }
        return batch;
    }

    static long bare(Payload[] batch, long tag) {
        long start = System.nanoTime();
        for (Payload payload : batch) {
            StatisticsProbe.bareSetTag(payload, tag);
        }
        return System.nanoTime() - start;
    }

    static long add(Payload[] batch, int point, int index, int generation) {
        int refused = 0;
        long start = System.nanoTime();
        for (Payload payload : batch) {
            if (RuntimeStatistic.addInstanceRealInternal(payload, Payload.class, NAME, BIRTHPLACE, point, index,
                    generation, 0, -1) == -1) {
                refused++;
            }
        }
        long elapsed = System.nanoTime() - start;
        if (refused != 0) {
            throw new IllegalStateException(refused + " instances refused");
        }
        return elapsed;
    }

    static void round(Times times, boolean measured, int generation, boolean collector) {
        Payload[] first = batch();
        Payload[] second = batch();
        Payload[] third = batch();
        long[] step = new long[STEPS];
        barrier();
        step[0] = bare(first, BARE_TAG);
        barrier();
        step[1] = add(second, POINT, classIndex, generation);
        bare(first, 0);
        barrier();
        step[2] = bare(first, BARE_TAG);
        bare(first, 0);
        barrier();
        step[3] = add(first, POINT + 1, classIndex, generation);
        barrier();
        step[4] = add(third, POINT + 2, 0, generation);
        barrier();
        long start = System.nanoTime();
        long sum = 0;
        for (int i = 0; i < BATCH; i++) {
            sum += StatisticsProbe.tagOf(Payload.class);
        }
        step[5] = System.nanoTime() - start;
        if (sum != (long) classIndex * BATCH) {
            throw new IllegalStateException("class tag changed");
        }
        // Keep the JVM's tag map at its working size, as regular collections do in an application:
        // collect this round's batches and have their ObjectFree events posted (untimed).
        first = second = third = null;
        barrier();
        if (collector) {
            System.gc();
            StatisticsProbe.flushObjectFree();
        }
        barrier();
        if (measured) {
            for (int i = 0; i < STEPS; i++) {
                times.total[i] += step[i];
            }
            times.rounds.add(step);
        }
    }

    static CyclicBarrier barrier;

    static void barrier() {
        try {
            barrier.await();
        } catch (Exception e) {
            throw new IllegalStateException(e);
        }
    }

    static double median(List<long[]> rounds, int step) {
        long[] values = new long[rounds.size()];
        for (int i = 0; i < values.length; i++) {
            values[i] = rounds.get(i)[step];
        }
        Arrays.sort(values);
        return (double) values[values.length / 2] / BATCH;
    }

    static void run(int threads, int warmup, int rounds) throws Exception {
        barrier = new CyclicBarrier(threads);
        Times[] times = new Times[threads];
        Thread[] workers = new Thread[threads];
        Throwable[] failure = new Throwable[1];
        for (int t = 0; t < threads; t++) {
            final int number = t;
            times[t] = new Times();
            workers[t] = new Thread(() -> {
                try {
                    for (int r = 0; r < warmup + rounds; r++) {
                        // A generation of its own per batch and thread; generations wrap at 2^20.
                        round(times[number], r >= warmup, (int) ((threads * 100000L + r * (long) threads + number)
                                & 0xFFFFF), number == 0);
                    }
                } catch (Throwable e) {
                    failure[0] = e;
                    barrier.reset();
                }
            });
            workers[t].start();
        }
        for (Thread worker : workers) {
            worker.join();
        }
        if (failure[0] != null) {
            throw new IllegalStateException(failure[0]);
        }
        double[] mean = new double[STEPS];
        double[] med = new double[STEPS];
        for (int step = 0; step < STEPS; step++) {
            for (Times each : times) {
                mean[step] += (double) each.total[step] / ((long) rounds * BATCH) / threads;
                med[step] += median(each.rounds, step) / threads;
            }
        }
        System.out.printf("threads=%d (%d rounds of %d calls per thread and step, after %d warm-up rounds)%n",
                threads, rounds, BATCH, warmup);
        for (int step = 0; step < STEPS; step++) {
            System.out.printf("  %-48s %8.1f ns/call (median round %8.1f)%n", NAMES[step], mean[step], med[step]);
        }
        System.out.printf("  ratio addInstanceRealInternal / bare SetTag, same objects tagged before: %.2f (median %.2f)%n",
                mean[3] / mean[2], med[3] / med[2]);
        System.out.printf("  ratio addInstanceRealInternal / bare SetTag, objects never tagged:       %.2f (median %.2f)%n",
                mean[1] / mean[0], med[1] / med[0]);
        System.out.printf("  ratio addInstanceRealInternal with index 0 / bare SetTag, never tagged:  %.2f (median %.2f)%n",
                mean[4] / mean[0], med[4] / med[0]);
        System.out.printf("RATIO threads=%d same_objects=%.3f never_tagged=%.3f%n", threads, mean[3] / mean[2],
                mean[1] / mean[0]);
    }

    public static void main(String[] args) throws Exception {
        int warmup = args.length > 0 ? Integer.parseInt(args[0]) : 50;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 200;
        RuntimeStatistic.initialiseLocks();
        // The allocation records exist before anything is timed.
        Payload first = new Payload();
        long tag = RuntimeStatistic.addInstanceRealInternal(first, Payload.class, NAME, BIRTHPLACE, POINT, 0, 0, 0, -1);
        for (int point = POINT + 1; point <= POINT + 2; point++) {
            RuntimeStatistic.addInstanceRealInternal(new Payload(), Payload.class, NAME, BIRTHPLACE, point, 0, 0, 0, -1);
        }
        classIndex = RuntimeStatistic.classIndex(tag);
        System.out.println("JVM: " + System.getProperty("java.vm.name") + " " + System.getProperty("java.vm.version")
                + ", " + Runtime.getRuntime().availableProcessors() + " processors");
        run(1, warmup, rounds);
        run(2, warmup, rounds);
        System.gc();
        StatisticsProbe.flushObjectFree();
        long[] totals = StatisticsProbe.totals();
        System.out.printf("statistics: %d live, %d recorded, %d bytes%n", totals[0], totals[1], totals[4]);
    }
}
