package vorkel.runtime.agent.oom;

/** Asks the native agent for a heap snapshot without an OutOfMemoryError. */
public final class HeapDumpTrigger {
    private HeapDumpTrigger() {
    }

    public static native boolean triggerHeapDump(String description);
}
