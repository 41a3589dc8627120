package vorkel.runtime.agent.probes.gc;

import java.util.Arrays;
import java.util.List;

import vorkel.runtime.agent.collect.GenerationCounterNative;

/**
 * The receiver of the native agent's GC reports. Once attached, the agent's "GC Count reporter
 * thread" calls {@link #reportCollection} after collections (when GC-finish notifications are on)
 * and {@link #reportJ9Collections} with the records of a J9 JVM's verbose-GC output (when they were
 * switched on and the JVM offers them); both reach the listeners on that thread.
 */
public class GarbageCollectionNativeImpl {
    /** What a listener hears; both run on the reporter thread and should return quickly. */
    public interface Listener {
        /** One or more collections finished; gcCount is the number seen since start-up. */
        default void collectionsFinished(int gcCount) {
        }

        default void j9Collections(List<J9Collection> collections) {
        }
    }

    // An array, read without an iterator: reportCollection allocates nothing, so that the reporter
    // thread raises no OutOfMemoryError of its own when the heap is full.
    private volatile Listener[] listeners = new Listener[0];

    /** Makes this instance the receiver of the agent's GC reports, in place of any earlier one. */
    public native void attach();

    /** Switches reportCollection on for good. */
    public native void enableGcFinishNotifications();

    /** Subscribes to the J9 verbose-GC records; false on a JVM that does not offer them. Tried once. */
    public native boolean enableJ9GcNotifications();

    public synchronized void addListener(Listener listener) {
        Listener[] more = Arrays.copyOf(listeners, listeners.length + 1);
        more[more.length - 1] = listener;
        listeners = more;
    }

    /** Called by the native agent's reporter thread. */
    void reportCollection() {
        int count = GenerationCounterNative.gcCount;
        Listener[] current = listeners;
        for (int i = 0; i < current.length; i++) {
            try {
                current[i].collectionsFinished(count);
            } catch (RuntimeException e) {
                // A failing listener must not keep the others from hearing about the collection.
            }
        }
    }

    /** Called by the native agent's reporter thread; layout in {@link J9Collection#decode}. */
    void reportJ9Collections(String[] pools, String[] collectors, int count, long[] data) {
        List<J9Collection> collections = J9Collection.decode(pools, collectors, count, data);
        if (collections.isEmpty()) {
            return;
        }
        Listener[] current = listeners;
        for (int i = 0; i < current.length; i++) {
            try {
                current[i].j9Collections(collections);
            } catch (RuntimeException e) {
                // As above.
            }
        }
    }
}
