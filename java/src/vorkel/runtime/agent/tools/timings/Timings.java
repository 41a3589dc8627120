package vorkel.runtime.agent.tools.timings;

import java.util.LinkedHashMap;
import java.util.Map;

/** Collects operation timings that the native agent reports. */
public final class Timings {
    private static final Map<String, long[]> TIMINGS = new LinkedHashMap<>();

    private Timings() {
    }

    /** Called by the native agent: one operation took the given nanoseconds. */
    public static synchronized void record(String description, long nanoseconds) {
        long[] entry = TIMINGS.computeIfAbsent(description, key -> new long[2]);
        entry[0]++;
        entry[1] += nanoseconds;
    }

    /** Count and total nanoseconds recorded for a description, or null. */
    public static synchronized long[] get(String description) {
        long[] entry = TIMINGS.get(description);
        return entry == null ? null : entry.clone();
    }
}
