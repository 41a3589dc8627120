package vorkel.test;

import java.lang.ref.WeakReference;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;

import vorkel.runtime.agent.oom.HeapDumpTrigger;

import static vorkel.test.Harness.result;

/**
 * Snapshots whose analysis the tests know in advance: field names, retained sizes, roots, what a
 * weak reference and a thread-local hold, and a request whose locals fill the heap.
 */
public final class AnalysisScenarios {
    private AnalysisScenarios() {
    }

    /** An interface with fields, one extending it, and one without: they count in the field indexes. */
    interface Limits {
        int LIMIT = 10;
        Object DEFAULT_LIMIT = new int[7];
    }

    interface Named extends Limits {
        String PREFIX = "named";
    }

    interface Plain {
    }

    static class Base implements Named {
        long baseCount;
        Object baseRef = new short[11];
    }

    static final class Holder extends Base implements Plain, Comparable<Holder> {
        static Object holderStatic = new char[13];
        int size;
        Object first;
        Object second;

        @Override
        public int compareTo(Holder other) {
            return Integer.compare(size, other.size);
        }
    }

    static Holder holder;

    /**
     * A static field holds a Holder retaining 4 MB through an array element; 3 MB more are held only
     * by a local variable of this frame. A snapshot is taken meanwhile.
     */
    public static void fieldsAndRoots(String[] args) {
        Holder kept = new Holder();
        kept.first = new long[3];
        kept.second = new Object[] {null, null, new double[512 * 1024]};
        holder = kept;
        byte[] local = new byte[3 * 1024 * 1024];
        result("interfaces", Limits.DEFAULT_LIMIT != null && Named.PREFIX != null);
        result("taken", HeapDumpTrigger.triggerHeapDump("analysis"));
        result("local", local.length);
    }

    /** The holders of the scenarios below (a class of their own, loaded only by them). */
    static final class Leaks {
        static final List<byte[]> KEPT = new ArrayList<>();
        static final ThreadLocal<List<byte[]>> SESSION = new ThreadLocal<>();
        static WeakReference<List<byte[]>> weakly;
    }

    static List<byte[]> megabytes(int count) {
        List<byte[]> list = new ArrayList<>();
        for (int i = 0; i < count; i++) {
            list.add(new byte[1 << 20]);
        }
        return list;
    }

    /**
     * 10 MB in a static list, 16 MB in a ThreadLocal of a waiting worker thread, and, made last so
     * that no collection clears it first, 30 MB only through a static WeakReference.
     */
    public static void weakAndThreadLocal(String[] args) throws Exception {
        Leaks.KEPT.addAll(megabytes(10));
        CountDownLatch set = new CountDownLatch(1);
        CountDownLatch done = new CountDownLatch(1);
        Thread worker = new Thread(() -> {
            Leaks.SESSION.set(megabytes(16));
            set.countDown();
            try {
                done.await();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "session-worker");
        worker.start();
        set.await();
        Leaks.weakly = new WeakReference<>(megabytes(30));
        result("taken", HeapDumpTrigger.triggerHeapDump("weak and thread local"));
        result("weak", Leaks.weakly.get() != null);
        done.countDown();
        worker.join();
    }

    /** One request's locals hold 24 MB while a static holds 4 MB: a spike, not a leak. */
    public static void spike(String[] args) {
        Leaks.KEPT.addAll(megabytes(4));
        result("taken", handleRequest(24));
    }

    static boolean handleRequest(int megabytes) {
        List<byte[]> working = megabytes(megabytes);
        boolean taken = HeapDumpTrigger.triggerHeapDump("spike");
        return taken && working.size() == megabytes;
    }
}
