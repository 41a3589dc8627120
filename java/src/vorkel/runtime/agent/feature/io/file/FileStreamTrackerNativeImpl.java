package vorkel.runtime.agent.feature.io.file;

/**
 * Switches the native file stream tracker. While it is enabled, reads and writes through
 * {@code FileInputStream}, {@code FileOutputStream} and {@code RandomAccessFile} on a thread inside
 * a user transaction are counted and timed per stream (see RecurringStreamOperationSummary);
 * NIO channels and {@code java.nio.file.Files} streams are not seen. Enabled at start-up by the
 * agent option {@code filestreams=true}; {@code NativeAgentInitialiser.disableAgent} switches it
 * off for good.
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
     * classes again at their next call; streams opened while the tracker was off have no path and
     * count only in the transaction's operation timings.
     */
    public native void setEnabled(boolean enable);
}
