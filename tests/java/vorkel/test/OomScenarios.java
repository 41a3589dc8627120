package vorkel.test;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicInteger;

import vorkel.runtime.agent.bootstrap.Agent;
import vorkel.runtime.agent.oom.HeapDumpTrigger;

import static vorkel.test.Harness.classBytes;
import static vorkel.test.Harness.result;

/** Snapshots taken on real OutOfMemoryErrors and on request. */
public final class OomScenarios {
    private OomScenarios() {
    }

    /** A small object graph: nodes in a chain, each with a payload array and a name. */
    static final class Node {
        Node next;
        final int[] payload;
        final String name;

        Node(Node next, int size, int number) {
            this.next = next;
            this.payload = new int[size];
            this.name = "node-" + number;
        }
    }

    /** Allocates until the heap is exhausted; the chain is dropped again once the error was caught. */
    static boolean fillHeap() {
        Node head = null;
        List<long[]> blocks = new ArrayList<>();
        int count = 0;
        try {
            while (true) {
                head = new Node(head, count % 64, count);
                if (++count % 64 == 0) {
                    blocks.add(new long[2048]);
                }
            }
        } catch (OutOfMemoryError e) {
            head = null;
            blocks = null;
            return true;
        }
    }

    /** Defines copies of one class in fresh loaders until the metaspace is exhausted. */
    static boolean fillMetaspace() throws Exception {
        byte[] bytes = classBytes(Payload.class);
        List<ClassLoader> loaders = new ArrayList<>();
        try {
            for (int i = 0; i < 10_000_000; ++i) {
                CopyLoader loader = new CopyLoader();
                loader.define(Payload.class.getName(), bytes);
                loaders.add(loader);
            }
            return false;
        } catch (OutOfMemoryError e) {
            loaders = null;
            return e.getMessage() != null && e.getMessage().contains("Metaspace");
        }
    }

    public static final class Payload {
        public int a;
        public long b;
        public Object c;

        public int sum(int x) {
            return a + x + (int) b;
        }
    }

    static final class CopyLoader extends ClassLoader {
        CopyLoader() {
            super(null);
        }

        Class<?> define(String name, byte[] bytes) {
            return defineClass(name, bytes, 0, bytes.length);
        }
    }

    /**
     * args[1]: what to do, a comma-separated list of heap, metaspace, request:DESCRIPTION, sleep:MS,
     * await:FILE (until the file exists) and start:OPTIONS.
     */
    public static void sequence(String[] args) throws Exception {
        int step = 0;
        for (String action : args[1].split(",")) {
            ++step;
            if (action.equals("heap")) {
                result("step" + step + "_heap", fillHeap());
            } else if (action.equals("metaspace")) {
                result("step" + step + "_metaspace", fillMetaspace());
            } else if (action.startsWith("request:")) {
                result("step" + step + "_request", HeapDumpTrigger.triggerHeapDump(action.substring(8)));
            } else if (action.startsWith("sleep:")) {
                result("step" + step + "_sleeping", true);
                Thread.sleep(Long.parseLong(action.substring(6)));
            } else if (action.startsWith("await:")) {
                result("step" + step + "_waiting", true);
                while (!new java.io.File(action.substring(6)).exists()) {
                    Thread.sleep(10);
                }
            } else if (action.startsWith("start:")) {
                result("step" + step + "_start", Agent.start(action.substring(6).replace(';', ',')));
            }
        }
    }

    /** Several threads exhaust the heap at the same time. */
    public static void heapInThreads(String[] args) throws Exception {
        int threads = Integer.parseInt(args[1]);
        CountDownLatch go = new CountDownLatch(1);
        AtomicInteger caught = new AtomicInteger();
        List<Thread> started = new ArrayList<>();
        for (int i = 0; i < threads; ++i) {
            Thread thread = new Thread(() -> {
                try {
                    go.await();
                } catch (InterruptedException e) {
                    return;
                }
                if (fillHeap()) {
                    caught.incrementAndGet();
                }
            }, "filler-" + i);
            thread.start();
            started.add(thread);
        }
        go.countDown();
        // While the fillers hold the heap this thread may be refused memory too (an iterator, the
        // first call of a method): it waits for them again, and they give the heap back when done.
        for (int i = 0; i < threads;) {
            try {
                started.get(i).join();
                ++i;
            } catch (OutOfMemoryError e) {
                // retried
            }
        }
        result("caught", caught.get());
    }

    static Object[][] held;

    /**
     * A class that is defined but not linked yet (JVMTI cannot give its fields) at the snapshot;
     * args[1] "jvmti" lists the classes through JVMTI where the VM structures could serve.
     */
    public static void unpreparedClass(String[] args) throws Exception {
        Payload linked = new Payload();
        CopyLoader loader = new CopyLoader();
        Class<?> copy = loader.define(Payload.class.getName(), classBytes(Payload.class));
        held = new Object[][] {{loader, copy, linked}};
        if (args.length > 1 && args[1].equals("jvmti")) {
            VmStructsProbe.useVmStructures(false);
        }
        result("request", HeapDumpTrigger.triggerHeapDump("unprepared"));
    }

    /**
     * Holds 400,000 objects; the first snapshot's tag backup can keep only 131072 tags, the second
     * one's is unlimited. No temporary tag may outlive either snapshot.
     */
    public static void tagOverflowThenAgain(String[] args) {
        Object[] objects = new Object[400_000];
        for (int i = 0; i < objects.length; ++i) {
            objects[i] = new int[i % 3];
        }
        held = new Object[][] {objects};
        SnapshotProbe.limitTagBackupPages(1);
        result("first", HeapDumpTrigger.triggerHeapDump("overflow"));
        SnapshotProbe.limitTagBackupPages(0);
        result("temporary_after_first", SnapshotProbe.temporaryTagCount());
        result("second", HeapDumpTrigger.triggerHeapDump("again"));
        result("temporary_after_second", SnapshotProbe.temporaryTagCount());
        result("held", objects.length);
    }

    /**
     * Holds about 600,000 small objects and takes a snapshot whose memory runs out at the second
     * periodic check of the walk (after 262,144 references).
     */
    public static void memoryRunsOutDuringWalk(String[] args) {
        Object[] objects = new Object[600_000];
        for (int i = 0; i < objects.length; ++i) {
            objects[i] = new int[i % 5];
        }
        held = new Object[][] {objects};
        SnapshotProbe.memoryRunsOutAfter(2);
        result("request", HeapDumpTrigger.triggerHeapDump("memory runs out"));
        SnapshotProbe.systemMemory();
        result("held", objects.length);
    }

    /**
     * Holds args[1] arrays of args[2] references each (to a few shared objects), so that the graph
     * has many reference records, then asks for a snapshot.
     */
    public static void manyReferences(String[] args) {
        int arrays = Integer.parseInt(args[1]);
        int length = Integer.parseInt(args[2]);
        Object[] shared = {new Object(), "shared", new int[3]};
        held = new Object[arrays][];
        for (int i = 0; i < arrays; ++i) {
            Object[] array = new Object[length];
            for (int j = 0; j < length; ++j) {
                array[j] = shared[j % shared.length];
            }
            held[i] = array;
        }
        result("request", HeapDumpTrigger.triggerHeapDump("many references"));
    }
}
