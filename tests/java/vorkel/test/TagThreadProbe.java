package vorkel.test;

/** Natives of the test kit for object tags, the class loader tracker and thread records. */
public final class TagThreadProbe {
    private TagThreadProbe() {
    }

    public static native long tagOf(Object object);

    public static native long[] trackedLoaders();

    public static native void storeTemporaryTag(long permanent, long temporary);

    public static native void updateTag(long oldTag, long newTag);

    public static native boolean setTag(Object object, long tag);

    public static native long flushObjectFree();

    public static native long hideUnderTemporaryTag(Object object);

    public static native long permanentTag(long tag);

    public static native void dropBackup();

    public static native String stackText(Thread thread, int size);

    public static native String[] threadDump(int size, Thread marked);

    /** The local references a whole thread dump leaves behind in the native that made it. */
    public static native long localsLeftByThreadDump();

    public static native String threadFacts(Thread thread);


    public static native String nativeThreadCycle();
}
