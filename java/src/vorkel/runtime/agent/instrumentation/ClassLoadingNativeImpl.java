package vorkel.runtime.agent.instrumentation;

/** Defines classes in a chosen loader and opens module reads. */
public final class ClassLoadingNativeImpl {
    private ClassLoadingNativeImpl() {
    }

    public static native Class<?> defineClass(String name, ClassLoader loader, byte[] bytes, int offset, int length);

    public static native boolean addModuleRead(Object module, Object otherModule);
}
