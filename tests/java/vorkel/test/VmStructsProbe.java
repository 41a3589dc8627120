package vorkel.test;

/** Natives of the test kit for the VM structure reader; each answers with "key=value" lines. */
public final class VmStructsProbe {
    private VmStructsProbe() {
    }

    /** The exports and layout variables of the JVM library loaded in this process. */
    public static native String exports();

    /** After exports(): virtual tables, the VM's version fields, and per class its name and metadata kinds. */
    public static native String classes(Class<?>[] classes);

    /** Current HotSpot: each class's fields and methods from VM structures against JVMTI's. */
    public static native String members(Class<?>[] classes);

    /**
     * With false the snapshot lists classes through JVMTI and writes class sizes without metadata,
     * as where the VM structures cannot be read; true goes back (only where they loaded).
     */
    public static native void useVmStructures(boolean use);

    /** Safe reads of address 16 and of a freed page. */
    public static native String safeReads();
}
