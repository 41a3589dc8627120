package vorkel.test;

/** Natives of the test kit for the allocation statistics. */
public final class StatisticsProbe {
    private StatisticsProbe() {
    }

    /** Live tagged, total tagged, string bytes, last class index, memory usage. */
    public static native long[] totals();

    /** Total, live, instance size, live generations, array type, is class loader; null when unknown. */
    public static native long[] allocation(long id);

    /** Live count, sequence, recorded, array bytes; null when the key has no record. */
    public static native long[] generation(long key);

    public static native long[] allocationIds();

    public static native byte[] classNameBytes(long id);

    public static native byte[] birthplaceBytes(long id);

    public static native boolean isClassloader(Class<?> type);

    /** Primitive array overhead, object array overhead, reference size. */
    public static native int[] arrayLayout();

    public static native long arraySize(int type, int length);

    public static native long objectSize(Object object);

    public static native long tagOf(Object object);

    public static native boolean bareSetTag(Object object, long tag);

    public static native void objectFree(long tag);

    public static native long flushObjectFree();

    public static native long loaderFirstSeen(long tag);
}
