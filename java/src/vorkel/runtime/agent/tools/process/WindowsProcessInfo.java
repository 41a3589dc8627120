package vorkel.runtime.agent.tools.process;

/**
 * Process facts on Windows, answered by vorkel.dll (the Linux library has none of these natives).
 */
public final class WindowsProcessInfo {
    private WindowsProcessInfo() {
    }

    /** Whether the process with this id is still running. */
    public static native boolean isProcessAlive(int pid);

    /** The working-set size in bytes of the process with this id; 0 when it cannot be read. */
    public static native long getUsedPrivateMemory(int pid);

    /** This process's id. */
    public static native int getProcessId();

    /** Ticks per second of the performance counter the native clock runs on. */
    public static native long getPerformanceCounterFrequency();
}
