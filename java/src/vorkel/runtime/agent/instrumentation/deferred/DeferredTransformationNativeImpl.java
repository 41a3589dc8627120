package vorkel.runtime.agent.instrumentation.deferred;

import java.util.ArrayList;
import java.util.List;
import java.util.function.BiConsumer;

/** Receives every class that a non-bootstrap loader links, once attached to the native agent. */
public class DeferredTransformationNativeImpl {
    private final List<BiConsumer<ClassLoader, Class<?>>> listeners = new ArrayList<>();

    /** Makes this instance the receiver of onClassLinked. */
    public native void attach();

    public synchronized void addListener(BiConsumer<ClassLoader, Class<?>> listener) {
        listeners.add(listener);
    }

    /** Called by the native agent on the loading thread for each class load. */
    public void onClassLinked(ClassLoader loader, Class<?> linked) {
        List<BiConsumer<ClassLoader, Class<?>>> current;
        synchronized (this) {
            current = new ArrayList<>(listeners);
        }
        for (BiConsumer<ClassLoader, Class<?>> listener : current) {
            listener.accept(loader, linked);
        }
    }
}
