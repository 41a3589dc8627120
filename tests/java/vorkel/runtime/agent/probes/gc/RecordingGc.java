package vorkel.runtime.agent.probes.gc;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.CountDownLatch;

import vorkel.runtime.agent.collect.GenerationCounterNative;

/** A receiver of the agent's GC reports that keeps every call as it arrived (in the agent's package to see them). */
public final class RecordingGc extends GarbageCollectionNativeImpl {
    /** One reportCollection call: the count it saw, its thread, whether the test had enabled the calls yet. */
    public static final class Collection {
        public final int gcCount;
        public final String thread;
        public final boolean daemon;
        public final int priority;
        public final boolean expected;

        Collection(int gcCount, Thread thread, boolean expected) {
            this.gcCount = gcCount;
            this.thread = thread.getName();
            this.daemon = thread.isDaemon();
            this.priority = thread.getPriority();
            this.expected = expected;
        }
    }

    /** One reportJ9Collections call with its arguments. */
    public static final class J9Report {
        public final String[] pools;
        public final String[] collectors;
        public final int count;
        public final long[] data;
        public final String thread;

        J9Report(String[] pools, String[] collectors, int count, long[] data, String thread) {
            this.pools = pools;
            this.collectors = collectors;
            this.count = count;
            this.data = data;
            this.thread = thread;
        }
    }

    public final List<Collection> collections = Collections.synchronizedList(new ArrayList<>());
    public final List<J9Report> j9Reports = Collections.synchronizedList(new ArrayList<>());
    /** Set by the test just before it enables the calls. */
    public volatile boolean callsExpected;
    /** When set, the next reportCollection counts down entered and then waits for release. */
    public volatile CountDownLatch entered;
    public volatile CountDownLatch release;

    @Override
    void reportCollection() {
        collections.add(new Collection(GenerationCounterNative.gcCount, Thread.currentThread(), callsExpected));
        CountDownLatch waitFor = release;
        if (waitFor != null) {
            release = null;
            entered.countDown();
            try {
                waitFor.await();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        super.reportCollection();
    }

    @Override
    void reportJ9Collections(String[] pools, String[] collectors, int count, long[] data) {
        j9Reports.add(new J9Report(pools, collectors, count, data, Thread.currentThread().getName()));
        super.reportJ9Collections(pools, collectors, count, data);
    }
}
