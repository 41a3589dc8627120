package vorkel.test;

/** Test kit natives for the archive tests. */
public final class ArchiveProbe {
    private ArchiveProbe() {
    }

    /** The configured uploader fork JVM argument at the index, or null past the end. */
    public static native String jvmArgument(int index);
}
