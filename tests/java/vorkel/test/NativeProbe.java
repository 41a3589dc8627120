package vorkel.test;

/** Natives of the test kit library (the agent plus test entry points). */
public final class NativeProbe {
    private NativeProbe() {
    }

    public static native boolean checkJvmtiError(int error, String message, boolean raise);

    public static native void log(int level, String message, boolean withJni);

    public static native void logWithPendingException(String message);

    public static native int checkUntilDead(int rounds);

    public static native boolean logOnContendedEnter();

    public static native int loadStatus();

    public static native String configuredText(String field);


    public static native Thread allocThread(String name);

    public static native String rawMonitorRoundTrip();
}
