package vorkel.test;

/** Natives of the test kit for user transactions and the contention probe. */
public final class TransactionProbe {
    private TransactionProbe() {
    }

    public static native long setMinimumWaitMillis(long millis);

    /** While on, every MonitorContendedEntered of a transaction thread logs one info line. */
    public static native void logInsideMonitorEntered(boolean on);

    public static native int ownWaitState();

    public static native void clearRootCause();

    public static native int pauseExaminations(long millis);

    public static native int pauseAfterOwnerFound(long millis);

    public static native void registerOperation(int kind, long millis);

    public static native long nativeHeapInUse();

    public static native int activeWaits();

    /** Nanoseconds per look-up of the calling thread's transaction, over count look-ups. */
    public static native long lookupNanos(int count);

    /** Virtual threads that have a transaction record now. */
    public static native int virtualRecords();

    /** Given-back virtual-thread records kept for later joins. */
    public static native int spareRecords();

    /** How many threads the agent counts as inside a transaction. */
    public static native int transactionsInside();
}
