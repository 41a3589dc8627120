package vorkel.runtime.agent.tools.timings;

/** The native clock: anchored to Java's epoch time so that native and Java timestamps agree. */
public final class VorkelClockNativeImpl {
    private VorkelClockNativeImpl() {
    }

    public static native void initNativeTime(long epochMillis);

    public static native long getMillisFromPerfCounter();
}
