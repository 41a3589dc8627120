package vorkel.runtime.agent.collection;

/**
 * Allocation statistics of followed instances. The native half tags each instance handed to it
 * with its class, allocation point, sequence and generation, counts it live per allocation point
 * and generation, and uncounts it when the JVM frees it.
 *
 * <p>A tag's low 19 bits are the class index of the instance's class; {@link #record} keeps it per
 * class so that later instances of the class need not ask the JVM for it.
 */
public final class RuntimeStatistic {
    /** Element type codes of arrays: the JVM's newarray codes, and 16 for arrays of references. */
    public static final int NOT_AN_ARRAY = -1;
    public static final int ARRAY_BOOLEAN = 4;
    public static final int ARRAY_CHAR = 5;
    public static final int ARRAY_FLOAT = 6;
    public static final int ARRAY_DOUBLE = 7;
    public static final int ARRAY_BYTE = 8;
    public static final int ARRAY_SHORT = 9;
    public static final int ARRAY_INT = 10;
    public static final int ARRAY_LONG = 11;
    public static final int ARRAY_REFERENCE = 16;

    /** Allocation point numbers below this one belong to other kinds of object tag. */
    public static final int FIRST_ALLOCATION_POINT = 32;

    private static final int CLASS_INDEX_MASK = 0x7FFFF;

    private static final ClassValue<int[]> CLASS_INDEXES = new ClassValue<int[]>() {
        @Override
        protected int[] computeValue(Class<?> type) {
            return new int[1];
        }
    };

    private static volatile boolean calibrated;

    private RuntimeStatistic() {
    }

    /** Measures the array header sizes once, before the first instance is recorded through {@link #record}. */
    public static synchronized void calibrate() {
        if (!calibrated) {
            initialiseLocks();
            calibrated = true;
        }
    }

    /**
     * Tags and counts one instance.
     *
     * @param instance the instance to follow
     * @param type its class (may be null when classIndex is given)
     * @param className the class name kept for the allocation point
     * @param birthplace the allocation site's description
     * @param allocationPoint the allocation point number (low 13 bits kept, 32 or more)
     * @param classIndex the class index, 0 when not known
     * @param generation the generation (low 20 bits kept)
     * @param arrayLength the array length for arrays
     * @param arrayType an element type code for arrays, below 0 otherwise
     * @return the new tag, or -1 when the instance could not be followed
     */
    public static native long addInstanceRealInternal(Object instance, Class<?> type, String className,
            String birthplace, int allocationPoint, int classIndex, int generation, int arrayLength, int arrayType);

    /** Bytes the native statistics hold. */
    public static native long getStatsMemoryUsage();

    /** Measures the JVM's array header sizes once. */
    public static native void initialiseLocks();

    /**
     * Records an instance with its class, name and array shape taken from the instance itself.
     * Returns the tag, or -1.
     */
    public static long record(Object instance, String birthplace, int allocationPoint, int generation) {
        if (!calibrated) {
            calibrate();
        }
        if (instance == null) {
            return addInstanceRealInternal(null, null, null, birthplace, allocationPoint, 0, generation, 0,
                    NOT_AN_ARRAY);
        }
        Class<?> type = instance.getClass();
        int arrayType = arrayType(type);
        int arrayLength = arrayType >= 0 ? java.lang.reflect.Array.getLength(instance) : 0;
        int[] known = CLASS_INDEXES.get(type);
        long tag = addInstanceRealInternal(instance, type, type.getName(), birthplace, allocationPoint, known[0],
                generation, arrayLength, arrayType);
        if (tag != -1 && known[0] == 0) {
            known[0] = (int) (tag & CLASS_INDEX_MASK);
        }
        return tag;
    }

    /** The element type code of an array class, or {@link #NOT_AN_ARRAY}. */
    public static int arrayType(Class<?> type) {
        Class<?> component = type.getComponentType();
        if (component == null) {
            return NOT_AN_ARRAY;
        }
        if (!component.isPrimitive()) {
            return ARRAY_REFERENCE;
        }
        if (component == boolean.class) {
            return ARRAY_BOOLEAN;
        } else if (component == char.class) {
            return ARRAY_CHAR;
        } else if (component == float.class) {
            return ARRAY_FLOAT;
        } else if (component == double.class) {
            return ARRAY_DOUBLE;
        } else if (component == byte.class) {
            return ARRAY_BYTE;
        } else if (component == short.class) {
            return ARRAY_SHORT;
        } else if (component == int.class) {
            return ARRAY_INT;
        }
        return ARRAY_LONG;
    }

    /** The allocation point number of a tag. */
    public static int allocationPoint(long tag) {
        return (int) ((tag >>> 19) & 0x1FFF);
    }

    /** The class index of a tag. */
    public static int classIndex(long tag) {
        return (int) (tag & CLASS_INDEX_MASK);
    }

    /** The sequence number of a tag within its generation. */
    public static int sequence(long tag) {
        return (int) ((tag >>> 32) & 0xFFF);
    }

    /** The generation of a tag. */
    public static int generation(long tag) {
        return (int) (tag >>> 44);
    }
}
