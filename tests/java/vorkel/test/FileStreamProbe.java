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

    /** The parts that operationCosts measures, in its order. */
    public static final String[] OPERATION_PARTS = {"fast_clock", "hires_clock", "transaction_lookup",
        "stream_key", "channel_key", "get_tag", "exception_check", "table_update", "accounting"};

    /**
     * Nanoseconds per call of the parts of a hooked operation, inside a transaction (names in
     * OPERATION_PARTS): a reading of the fast counter and of the high-resolution one, the
     * transaction lookup, a stream's key (descriptor object, number, table), a channel's key
     * (number, table, cached file type), the JVMTI tag lookup the streams used before, an
     * exception check, the table update of a repeated (file, kind), the whole accounting step
     * with its two clock readings. The stream and the channel's descriptor are open on one regular
     * file that a hook saw opened.
     */
    public static native long[] operationCosts(Object stream, Object channelDescriptor, int count);
}
