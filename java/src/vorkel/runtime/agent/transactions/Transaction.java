package vorkel.runtime.agent.transactions;

import vorkel.runtime.agent.probes.ut.natives.NativeTransactionSummary;

/**
 * One user transaction on the thread that began it; see {@link Transactions}. Ending it (close)
 * fetches what the probes collected, leaves the transaction and hands a notable one to the reporter.
 */
public final class Transaction implements AutoCloseable {
    private static final ThreadLocal<Transaction> CURRENT = new ThreadLocal<>();
    /**
     * The native side records no monitor wait shorter than 30 ms, and a wait lies within its
     * transaction: a shorter transaction holds none, so its end does not ask (the margin is for the
     * two clocks that measure the wait and the transaction).
     */
    private static final long SHORTEST_WITH_LONG_WAIT_NANOS = 20_000_000L;

    private final Transactions.Settings settings;
    private final String name;
    private final Thread thread;
    private final Transaction outer;
    private final long startMillis;
    private final long startNanos;
    private Throwable failure;
    private boolean closed;

    private Transaction(Transactions.Settings settings, String name, Transaction outer) {
        this.settings = settings;
        this.name = name == null ? "transaction" : name;
        this.thread = Thread.currentThread();
        this.outer = outer;
        this.startMillis = System.currentTimeMillis();
        this.startNanos = System.nanoTime();
    }

    static Transaction begin(Transactions.Settings settings, String name) {
        Transaction outer = CURRENT.get();
        Transaction transaction = new Transaction(settings, name, outer);
        CURRENT.set(transaction);
        if (settings != null && outer == null) {
            if (settings.detector != null) {
                settings.detector.opened();
            }
            settings.natives.joinTransactionNative(transaction, settings.contributorThresholdMillis);
        }
        return transaction;
    }

    public String name() {
        return name;
    }

    /** Notes that the work ended with this exception; it appears in the report. */
    public void failed(Throwable e) {
        failure = e;
    }

    @Override
    public void close() {
        if (closed || Thread.currentThread() != thread) {
            return;
        }
        closed = true;
        if (outer != null) {
            CURRENT.set(outer);
            if (failure != null && outer.failure == null) {
                outer.failure = failure;
            }
            return;
        }
        CURRENT.set(null);  // cheaper than remove(), which clears the entry's weak reference
        if (settings == null) {
            return;
        }
        long elapsedNanos = System.nanoTime() - startNanos;
        long durationMillis = elapsedNanos / 1_000_000;
        boolean slow = settings.slowMillis > 0 && durationMillis >= settings.slowMillis;
        NativeTransactionSummary[] summaries = null;
        try {
            // Only a slow transaction or one with a long wait is reported: the others' summaries
            // would be built to be dropped, so they are left in the probes, which the leave empties.
            if (slow || (elapsedNanos >= SHORTEST_WITH_LONG_WAIT_NANOS && settings.natives.hasLongWaitsNative())) {
                summaries = settings.natives.fetchNativeSummaries();
            }
        } finally {
            settings.natives.leaveTransactionNative();
            if (settings.detector != null) {
                settings.detector.closed();
            }
        }
        if (summaries == null) {
            return;  // nothing to report, or not followed (the agent could not make the thread's record)
        }
        TransactionReport report = new TransactionReport(name, thread.getName(), startMillis, durationMillis,
                summaries, failure);
        if (report.notable() || slow) {
            settings.reporter.submit(report.toJson(settings, slow));
        }
    }
}
