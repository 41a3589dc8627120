package vorkel.runtime.agent.probes.ut.natives;

import vorkel.runtime.agent.transactions.Json;

/**
 * Operation timings of one transaction: for each kind of file operation its count, total and
 * longest duration in nanoseconds (three longs per kind, in the order of {@link #OPERATIONS}).
 */
public final class TimingOperationSummary extends NativeTransactionSummary {
    public static final String[] OPERATIONS = {"file read (single byte)", "file read (block)",
        "file write (single byte)", "file write (block)", "channel read", "channel write",
        "channel read (positional)", "channel write (positional)", "channel read (scatter)",
        "channel write (gather)", "file transfer"};

    private final long[] values;

    public TimingOperationSummary(long[] values) {
        this.values = values.clone();
    }

    public long count(int kind) {
        return value(3 * kind);
    }

    public long totalNanos(int kind) {
        return value(3 * kind + 1);
    }

    public long maxNanos(int kind) {
        return value(3 * kind + 2);
    }

    private long value(int index) {
        return index >= 0 && index < values.length ? values[index] : 0;
    }

    @Override
    public String section() {
        return "timings";
    }

    @Override
    public void writeFields(Json out) {
        out.name("operations").beginArray();
        for (int kind = 0; kind < OPERATIONS.length && 3 * kind + 2 < values.length; kind++) {
            if (count(kind) == 0) {
                continue;
            }
            out.beginObject().field("operation", OPERATIONS[kind]).field("count", count(kind))
                    .field("totalNs", totalNanos(kind)).field("maxNs", maxNanos(kind)).endObject();
        }
        out.endArray();
    }
}
