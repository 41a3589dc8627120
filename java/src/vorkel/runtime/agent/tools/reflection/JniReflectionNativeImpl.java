package vorkel.runtime.agent.tools.reflection;

import java.lang.reflect.AccessibleObject;

/** Opens reflective objects without the access checks of a module-aware JVM. */
public final class JniReflectionNativeImpl {
    private static long overrideField;

    private JniReflectionNativeImpl() {
    }

    public static native long prepareInternal(Class<?> accessibleObjectClass);

    public static native void makeAccessibleInternal(long fieldId, Object object);

    /** Makes the object accessible; false when the JVM has no override flag to set. */
    public static synchronized boolean makeAccessible(AccessibleObject object) {
        if (overrideField == 0) {
            try {
                overrideField = prepareInternal(AccessibleObject.class);
            } catch (NoSuchFieldError e) {
                return false;
            }
        }
        if (overrideField == 0) {
            return false;
        }
        makeAccessibleInternal(overrideField, object);
        return true;
    }
}
