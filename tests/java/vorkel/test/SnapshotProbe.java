package vorkel.test;

/** Natives of the test kit for the heap snapshot. */
public final class SnapshotProbe {
    private SnapshotProbe() {
    }

    /** From now on the snapshot's memory checks see plenty of memory for that many reads, then 1 MiB. */
    public static native void memoryRunsOutAfter(int reads);

    public static native void systemMemory();

    /** At most that many pages of 131072 tags for the snapshot's tag backup; 0 for no limit. */
    public static native void limitTagBackupPages(int pages);

    /** Objects that still carry a snapshot's temporary tag. */
    public static native long temporaryTagCount();
}
