package vorkel.test;

/** Natives of the test kit for the file stream tracker. */
public final class FileStreamProbe {
    private FileStreamProbe() {
    }

    public static native long registrySize();

    public static native String registeredPath(long key);

    /** The stream's registry key (its tag in the main environment), 0 when it has none. */
    public static native long streamKey(Object stream);

    public static native void failAllocations(int count);

    public static native void stackIntervalMillis(long millis);

    public static native long flushObjectFree();

    /** One line per hooked method: "FileInputStream.read0()I=BINDS", or "...=absent" when not found. */
    public static native String hookBinds();

    /**
     * Nanoseconds per call of the parts of a hooked operation, inside a transaction: clock,
     * transaction lookup, tag lookup, exception check, table update, the whole accounting step,
     * two clock reads around a tag lookup.
     */
    public static native long[] operationCosts(Object stream, int count);
}
