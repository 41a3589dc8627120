package vorkel.runtime.agent.probes.ut.natives;

/**
 * The natives of user transactions. A thread joins a transaction, the probes collect what it does
 * into the thread's native record, the summaries are fetched (each fetch empties the probes) and
 * the thread leaves. All calls concern the calling thread only.
 */
public final class UserTransactionNativeImpl {
    /** Index of the operation timings in the summary array. */
    public static final int TIMINGS = 0;
    /** Index of the file-stream summary. */
    public static final int FILE_STREAMS = 1;
    /** Index of the root-cause marker. */
    public static final int ROOT_CAUSE = 2;
    /** Index of the lock-contention summary. */
    public static final int LOCK_CONTENTION = 3;

    /** Keeps the threshold in the native agent (-1 or Long.MAX_VALUE: none). */
    public native void setMinimumMajorContributorThreshold(long thresholdMillis);

    /**
     * Starts a transaction on this thread, dropping a previous one's data; lock waits shorter than
     * the threshold (and than 30 ms) are not recorded. A virtual thread's transaction is kept apart
     * from its carrier's and follows it from carrier to carrier.
     */
    public native void joinTransactionNative(Object transaction, long contributorThresholdMillis);

    /** Four summaries (each may be null), or null when the thread is not in a transaction. */
    public native NativeTransactionSummary[] fetchNativeSummaries();

    /**
     * Whether the calling thread's transaction recorded long lock waits that were not fetched yet;
     * false outside a transaction. Cheaper than a fetch, which builds every summary.
     */
    public native boolean hasLongWaitsNative();

    public native void leaveTransactionNative();
}
