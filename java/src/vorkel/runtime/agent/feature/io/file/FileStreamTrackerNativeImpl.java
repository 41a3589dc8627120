package vorkel.runtime.agent.feature.io.file;

/**
 * Switches the native file stream tracker. While it is enabled, reads and writes through
 * {@code FileInputStream}, {@code FileOutputStream}, {@code RandomAccessFile} and the file channels
 * ({@code FileChannel}, and with it the streams, readers and writers of {@code java.nio.file.Files},
 * direct transfers and {@code Files.copy}) on a thread inside a user transaction are counted and
 * timed per open file (see RecurringStreamOperationSummary); memory-mapped files, sockets and pipes
 * are not. Enabled at start-up by the agent option {@code filestreams=true};
 * {@code NativeAgentInitialiser.disableAgent} switches it off for good.
 */
public final class FileStreamTrackerNativeImpl {
    private static final FileStreamTrackerNativeImpl INSTANCE = new FileStreamTrackerNativeImpl();

    private FileStreamTrackerNativeImpl() {
    }

    public static FileStreamTrackerNativeImpl instance() {
        return INSTANCE;
    }

    /**
     * Installs (true) or removes (false) the native hooks. The JVM binds the natives of the stream
     * and channel classes again at their next call; files opened while the tracker was off have no
     * path, and their streams count only in the transaction's operation timings.
     */
    public native void setEnabled(boolean enable);
}
