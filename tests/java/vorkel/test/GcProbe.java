package vorkel.test;

/** Natives of the test kit for the J9 verbose-GC path: a JVMTI environment of the test's own that offers the J9 extension. */
public final class GcProbe {
    private GcProbe() {
    }

    /** Registers the agent's subscriber through that environment; what the extension was given, as text. */
    public static native String registerThroughExtension();

    /** How often the J9 extension was called. */
    public static native int registerCalls();

    /** Hands the records, one after another, to the subscriber that was registered; false before that. */
    public static native boolean push(String... records);

    /** One report pass to target's reportJ9Collections on this thread. */
    public static native void report(Object target);
}
