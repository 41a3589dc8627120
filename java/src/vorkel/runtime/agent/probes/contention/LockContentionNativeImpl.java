package vorkel.runtime.agent.probes.contention;

/**
 * The natives of the lock contention probe. {@link #configure} once (exclusions and the two classes
 * the summaries are made of), then {@link #setEnabled}; {@link #runBlockerDetection} is called
 * periodically while transactions are open to name the threads that hold the awaited monitors.
 */
public final class LockContentionNativeImpl {
    /** Whether the JVM reports contended monitor entries. */
    public native boolean isSupported();

    /**
     * Sets the exclusions and the summary classes; succeeds once. Excluded classes are class
     * signatures ("Ljava/lang/Object;"); excluded methods are pairs of declaring-class signature and
     * method name. The summary class needs a constructor (LongWaitClass[], int), the long-wait class
     * the one of {@link LongLockWait}.
     */
    public native boolean configure(String[] excludedClasses, String[] excludedMethods, Class<?> summaryClass,
            Class<?> longWaitClass);

    /** True when the probe ends up in the requested state (enabling needs a successful configure). */
    public native boolean setEnabled(boolean enable);

    public native void runBlockerDetection();
}
