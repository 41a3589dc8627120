package vorkel.runtime.agent.oom;

/** Access to snapshot directories: the directory lock shared with the agent, and packing. */
public final class OomDumpNativeImpl {
    private OomDumpNativeImpl() {
    }

    /** Takes the exclusive lock of the file (a snapshot's "context.lock"); -1 when it is held elsewhere. */
    public static native long dumpAccessLock(String path);

    public static native void dumpAccessUnlock(long handle);

    /** Packs the info and graph files into a bzip2-compressed tar archive. */
    public static native boolean compressDump(String infoPath, String graphPath, String archivePath);
}
