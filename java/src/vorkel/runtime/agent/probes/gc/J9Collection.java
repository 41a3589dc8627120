package vorkel.runtime.agent.probes.gc;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/** One collection as a J9 JVM's verbose-GC output described it, with its memory pools before and after. */
public final class J9Collection {
    public final String collector;
    public final long timestampMillis;
    public final long durationMillis;
    public final boolean inAllocationFailure;
    /** Pool names; used and total bytes of each, before and after the collection, in the same order. */
    public final List<String> pools;
    public final long[] usedBefore;
    public final long[] totalBefore;
    public final long[] usedAfter;
    public final long[] totalAfter;

    J9Collection(String collector, long timestampMillis, long durationMillis, boolean inAllocationFailure,
            List<String> pools, long[] data, int offset) {
        this.collector = collector;
        this.timestampMillis = timestampMillis;
        this.durationMillis = durationMillis;
        this.inAllocationFailure = inAllocationFailure;
        this.pools = pools;
        int count = pools.size();
        usedBefore = new long[count];
        totalBefore = new long[count];
        usedAfter = new long[count];
        totalAfter = new long[count];
        for (int j = 0; j < count; j++) {
            usedBefore[j] = data[offset + 2 * j];
            totalBefore[j] = data[offset + 2 * j + 1];
            usedAfter[j] = data[offset + 2 * count + 2 * j];
            totalAfter[j] = data[offset + 2 * count + 2 * j + 1];
        }
    }

    /**
     * The records of one report: {@code count} records of 4 + 4·P longs each (collector index,
     * timestamp, duration, allocation failure, then used and total of every pool before and after),
     * P the number of pools. An inconsistent report gives an empty list.
     */
    static List<J9Collection> decode(String[] pools, String[] collectors, int count, long[] data) {
        if (pools == null || collectors == null || data == null || count < 0) {
            return Collections.emptyList();
        }
        int stride = 4 + 4 * pools.length;
        if ((long) stride * count != data.length) {
            return Collections.emptyList();
        }
        List<String> poolNames = Collections.unmodifiableList(java.util.Arrays.asList(pools.clone()));
        List<J9Collection> collections = new ArrayList<>(count);
        for (int r = 0; r < count; r++) {
            int base = r * stride;
            long index = data[base];
            String collector = index >= 0 && index < collectors.length ? collectors[(int) index] : null;
            collections.add(new J9Collection(collector, data[base + 1], data[base + 2], data[base + 3] != 0, poolNames,
                    data, base + 4));
        }
        return collections;
    }

    @Override
    public String toString() {
        StringBuilder text = new StringBuilder();
        text.append(collector).append(' ').append(durationMillis).append(" ms");
        if (inAllocationFailure) {
            text.append(" (allocation failure)");
        }
        for (int j = 0; j < pools.size(); j++) {
            text.append(", ").append(pools.get(j)).append(' ').append(usedBefore[j]).append("->").append(usedAfter[j])
                    .append(" of ").append(totalAfter[j]);
        }
        return text.toString();
    }
}
