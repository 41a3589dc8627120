package vorkel.runtime.agent.probes.ut.natives;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

import vorkel.runtime.agent.transactions.Json;

/**
 * The files a transaction read and wrote, through streams and file channels: one row per (open
 * file, kind of operation), at most 50, and when more were used, one aggregate row (kind -1) with
 * the totals of the rows that made room, whose sampled stacks are kept apart (at most 100).
 */
public final class RecurringStreamOperationSummary extends NativeTransactionSummary {
    public static final int KIND_AGGREGATE = -1;
    public static final int KIND_READ_BYTE = 0;
    public static final int KIND_READ_BLOCK = 1;
    public static final int KIND_WRITE_BYTE = 2;
    public static final int KIND_WRITE_BLOCK = 3;
    public static final int KIND_CHANNEL_READ = 4;
    public static final int KIND_CHANNEL_WRITE = 5;
    public static final int KIND_POSITIONAL_READ = 6;
    public static final int KIND_POSITIONAL_WRITE = 7;
    public static final int KIND_SCATTER_READ = 8;
    public static final int KIND_GATHER_WRITE = 9;
    /** A copy by the kernel from the file: FileChannel.transferTo and transferFrom, Files.copy. */
    public static final int KIND_TRANSFER = 10;

    private static final String[] KIND_NAMES = {"read", "read-block", "write", "write-block", "channel-read",
        "channel-write", "positional-read", "positional-write", "scatter-read", "gather-write", "transfer"};

    private static final int LONGS_PER_ROW = 6;
    private static final int TEXTS_PER_ROW = 2;

    /** One (open file, kind) of the transaction. */
    public static final class Row {
        public final int kind;
        public final long count;
        public final long millis;
        public final long bytes;
        public final long firstStartMillis;  // epoch milliseconds
        public final long lastEndMillis;
        public final String path;   // null for the aggregate, or when the stream was closed before
        public final String stack;  // the sampled stack, null when none was taken

        Row(long[] values, int at, String path, String stack) {
            this.kind = (int) values[at];
            this.count = values[at + 1];
            this.millis = values[at + 2];
            this.bytes = values[at + 3];
            this.firstStartMillis = values[at + 4];
            this.lastEndMillis = values[at + 5];
            this.path = path;
            this.stack = stack;
        }

        public boolean isAggregate() {
            return kind == KIND_AGGREGATE;
        }

        void writeTo(Json out) {
            out.beginObject();
            if (!isAggregate()) {
                out.field("path", path);
            }
            out.field("kind", kindName(kind)).field("count", count).field("bytes", bytes).field("ms", millis)
                    .field("first", firstStartMillis).field("last", lastEndMillis);
            if (stack != null) {
                out.field("stack", stack);
            }
            out.endObject();
        }

        @Override
        public String toString() {
            return kindName(kind) + " " + (path == null ? "-" : path) + " count=" + count + " bytes=" + bytes
                    + " ms=" + millis;
        }
    }

    private final List<Row> rows;
    private final int evictedCount;
    private final List<String> savedStacks;

    /** Called by the native tracker: rows of six longs and two texts (path, stack) each. */
    RecurringStreamOperationSummary(int rowCount, int evictedCount, long[] values, String[] texts,
            String[] savedStacks) {
        int usable = Math.max(0, rowCount);
        if (values != null) {
            usable = Math.min(usable, values.length / LONGS_PER_ROW);
        } else {
            usable = 0;
        }
        List<Row> list = new ArrayList<>(usable);
        for (int i = 0; i < usable; i++) {
            list.add(new Row(values, i * LONGS_PER_ROW, text(texts, i * TEXTS_PER_ROW),
                    text(texts, i * TEXTS_PER_ROW + 1)));
        }
        this.rows = Collections.unmodifiableList(list);
        this.evictedCount = evictedCount;
        List<String> stacks = new ArrayList<>();
        if (savedStacks != null) {
            for (String stack : savedStacks) {
                if (stack != null) {
                    stacks.add(stack);
                }
            }
        }
        this.savedStacks = Collections.unmodifiableList(stacks);
    }

    private static String text(String[] texts, int index) {
        return texts != null && index < texts.length ? texts[index] : null;
    }

    /** The rows in table order, the aggregate (if any) last. */
    public List<Row> rows() {
        return rows;
    }

    /** The aggregate row of evicted entries, or null. */
    public Row aggregate() {
        return !rows.isEmpty() && rows.get(rows.size() - 1).isAggregate() ? rows.get(rows.size() - 1) : null;
    }

    /** How many (stream, kind) entries were merged into the aggregate. */
    public int evictedCount() {
        return evictedCount;
    }

    /** Stacks sampled for entries that were merged into the aggregate. */
    public List<String> savedStacks() {
        return savedStacks;
    }

    @Override
    public String section() {
        return "fileStreams";
    }

    /** The rows, then the evicted entries' aggregate and their saved stacks when there are any. */
    @Override
    public void writeFields(Json out) {
        out.name("streams").beginArray();
        for (Row row : rows) {
            if (!row.isAggregate()) {
                row.writeTo(out);
            }
        }
        out.endArray();
        Row aggregate = aggregate();
        if (aggregate != null) {
            out.field("evictedCount", evictedCount);
            out.name("evicted");
            aggregate.writeTo(out);
            out.name("evictedStacks").beginArray();
            for (String stack : savedStacks) {
                out.value(stack);
            }
            out.endArray();
        }
    }

    public static String kindName(int kind) {
        if (kind == KIND_AGGREGATE) {
            return "evicted";
        }
        return kind >= 0 && kind < KIND_NAMES.length ? KIND_NAMES[kind] : "kind" + kind;
    }
}
