import java.io.File;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.StandardOpenOption;
import java.util.Arrays;

/**
 * Nanoseconds of the thread's CPU time per 4 KiB read and write from and to the page cache (system
 * time included: the reads and writes themselves), through a FileInputStream, a
 * FileOutputStream and a FileChannel (direct buffers: the cheapest channel operation, so the
 * largest share for the hooks), in one JVM configured by bench/file_stream_bench.sh:
 * <ul>
 * <li>"none": no agent; "jfr": no agent, a JFR recording with its default settings (jdk.FileRead
 * and jdk.FileWrite at 20 ms);</li>
 * <li>"agent": the agent, the batches in threes in a rotating order: the file stream tracker off,
 * on with the thread in no transaction, and on inside a transaction of its own;</li>
 * <li>"costs": inside a transaction, the parts of the hooks' work one by one (test kit natives).</li>
 * </ul>
 * Every operation cycles through a 1 MiB file (back to its start every 256 operations, the same in
 * every configuration). Prints the median of the batches per operation, "RESULT stream_read=...
 * stream_write=... channel_read=... channel_write=..."; with the agent "off.NAME=... outside.NAME=...
 * inside.NAME=..." and the medians of the ratios of each three's batches (run right after each
 * other, which a shared machine's drifting load disturbs least): "idle.NAME=..." outside / off and
 * "pair.NAME=..." inside / outside.
 */
public final class FileStreamBench {
    static final int BLOCK = 4096;
    static final int FILE_SIZE = 1 << 20;
    static final int BLOCKS = FILE_SIZE / BLOCK;
    static final int OPERATIONS = 9_600;
    static final int DEPTHS = 16;
    static final String[] NAMES = {"stream_read", "stream_write", "channel_read", "channel_write"};
    /** CPU time of the measuring thread: what the others on a shared machine take is not counted. */
    static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

    interface Transaction {
        void join();

        void leave();
    }

    static Transaction transaction(String mode) throws Exception {
        if (!mode.equals("agent") && !mode.equals("costs")) {
            return null;
        }
        Class<?> type = Class.forName("vorkel.runtime.agent.probes.ut.natives.UserTransactionNativeImpl");
        Object natives = type.getConstructor().newInstance();
        java.lang.reflect.Method join = type.getMethod("joinTransactionNative", Object.class, long.class);
        java.lang.reflect.Method fetch = type.getMethod("fetchNativeSummaries");
        java.lang.reflect.Method leave = type.getMethod("leaveTransactionNative");
        return new Transaction() {
            @Override
            public void join() {
                try {
                    join.invoke(natives, new Object(), 1000L);
                } catch (ReflectiveOperationException e) {
                    throw new IllegalStateException(e);
                }
            }

            @Override
            public void leave() {
                try {
                    fetch.invoke(natives);
                    leave.invoke(natives);
                } catch (ReflectiveOperationException e) {
                    throw new IllegalStateException(e);
                }
            }
        };
    }

    /** The four kinds of operation over their files, each back at the start every 256 blocks. */
    static final class Files4 implements AutoCloseable {
        final FileInputStream in;
        final FileOutputStream out;
        final FileChannel readChannel;
        final FileChannel writeChannel;
        final byte[] block = new byte[BLOCK];
        final ByteBuffer buffer = ByteBuffer.allocateDirect(BLOCK);
        final int[] positions = new int[NAMES.length];  // blocks since each file's start
        long sum;

        Files4(File input, File output) throws IOException {
            in = new FileInputStream(input);
            out = new FileOutputStream(output);
            readChannel = FileChannel.open(input.toPath(), StandardOpenOption.READ);
            writeChannel = FileChannel.open(new File(output.getPath() + ".channel").toPath(),
                    StandardOpenOption.CREATE, StandardOpenOption.WRITE);
        }

        /**
         * CPU nanoseconds of count operations of a kind, run at 16 depths of the stack: where the
         * JDK's natives keep their buffers on the stack changes how fast they copy (by 10% and more
         * for a 4 KiB stream read), and the depths spread those offsets alike with and without
         * the agent's hooks, whose frames move them.
         */
        long run(int kind, int count) throws IOException {
            long start = THREADS.getCurrentThreadCpuTime();
            for (int depth = 0; depth < DEPTHS; depth++) {
                at(depth, kind, count / DEPTHS);
            }
            return THREADS.getCurrentThreadCpuTime() - start;
        }

        void at(int depth, int kind, int count) throws IOException {
            if (depth > 0) {
                long a = depth, b = a * 3, c = b * 5;  // a frame of some size per level
                at(depth - 1, kind, count);
                sum += a + b + c;
            } else {
                operations(kind, count);
            }
        }

        void operations(int kind, int count) throws IOException {
            for (int i = 0; i < count; i++) {
                boolean wrap = ++positions[kind] == BLOCKS;
                if (wrap) {
                    positions[kind] = 0;
                }
                switch (kind) {
                    case 0:
                        if (in.read(block) < BLOCK) {
                            throw new IllegalStateException("short read");
                        }
                        sum += block[i & (BLOCK - 1)];
                        if (wrap) {
                            in.getChannel().position(0);
                        }
                        break;
                    case 1:
                        out.write(block);
                        if (wrap) {
                            out.getChannel().position(0);
                        }
                        break;
                    case 2:
                        buffer.clear();
                        if (readChannel.read(buffer) < BLOCK) {
                            throw new IllegalStateException("short channel read");
                        }
                        sum += buffer.get(i & (BLOCK - 1));
                        if (wrap) {
                            readChannel.position(0);
                        }
                        break;
                    default:
                        buffer.clear();
                        writeChannel.write(buffer);
                        if (wrap) {
                            writeChannel.position(0);
                        }
                        break;
                }
            }
        }

        /** Every file back at its start, so that every batch does the same. */
        void rewind() throws IOException {
            Arrays.fill(positions, 0);
            in.getChannel().position(0);
            out.getChannel().position(0);
            readChannel.position(0);
            writeChannel.position(0);
        }

        @Override
        public void close() throws IOException {
            in.close();
            out.close();
            readChannel.close();
            writeChannel.close();
        }
    }

    static final int OFF = 0;
    static final int OUTSIDE = 1;
    static final int INSIDE = 2;
    static final String[] SERIES = {"off", "outside", "inside"};

    /** Switches the tracker; the JVM binds the natives afresh at their next call. */
    static void track(boolean on) throws ReflectiveOperationException {
        Class<?> type = Class.forName("vorkel.runtime.agent.feature.io.file.FileStreamTrackerNativeImpl");
        Object tracker = type.getMethod("instance").invoke(null);
        type.getMethod("setEnabled", boolean.class).invoke(tracker, on);
    }

    /**
     * Nanoseconds per operation of each kind in one batch, on files opened for it (after a switch of
     * the tracker the files open before are forgotten), after warm-up operations of each kind: a
     * whole batch's after a switch (the JVM binds the natives again and compiles their wrappers
     * anew), a few otherwise; inside a transaction of its own when one is given.
     */
    static double[] batch(File input, File output, Transaction transaction, boolean switched) throws IOException {
        double[] times = new double[NAMES.length];
        try (Files4 files = new Files4(input, output)) {
            for (int kind = 0; kind < NAMES.length; kind++) {
                files.run(kind, switched ? OPERATIONS : 64);
            }
            files.rewind();
            if (transaction != null) {
                transaction.join();
            }
            for (int kind = 0; kind < NAMES.length; kind++) {
                times[kind] = (double) files.run(kind, OPERATIONS) / OPERATIONS;
            }
            if (transaction != null) {
                transaction.leave();
            }
        }
        return times;
    }

    static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        int n = sorted.length;
        return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }

    public static void main(String[] args) throws Exception {
        String mode = args[0];
        File dir = new File(args[1]);
        int batches = Integer.parseInt(args[2]);
        File input = new File(dir, "input.bin");
        if (input.length() != FILE_SIZE) {
            byte[] content = new byte[FILE_SIZE];
            Arrays.fill(content, (byte) 1);
            Files.write(input.toPath(), content);
        }
        File output = new File(dir, "output-" + mode + ".bin");
        Transaction transaction = transaction(mode);
        try {
            if (mode.equals("costs")) {
                costs(input, transaction);
                return;
            }
            for (int i = 0; i < 3; i++) {  // warm-up, compiled code in the measured batches
                batch(input, output, null, false);
                if (transaction != null) {  // the hooks' paths inside a transaction compiled too
                    batch(input, output, transaction, false);
                }
            }
            StringBuilder line = new StringBuilder("RESULT");
            if (transaction == null) {
                double[][] times = new double[NAMES.length][batches];
                for (int b = 0; b < batches; b++) {
                    double[] each = batch(input, output, null, false);
                    for (int kind = 0; kind < NAMES.length; kind++) {
                        times[kind][b] = each[kind];
                    }
                }
                for (int kind = 0; kind < NAMES.length; kind++) {
                    line.append(String.format(" %s=%.1f", NAMES[kind], median(times[kind])));
                }
            } else {
                // Per batch the three states right after each other, in a rotating order.
                double[][][] times = new double[SERIES.length][NAMES.length][batches];
                double[][] idle = new double[NAMES.length][batches];
                double[][] pair = new double[NAMES.length][batches];
                boolean on = true;
                for (int b = 0; b < batches; b++) {
                    for (int i = 0; i < SERIES.length; i++) {
                        int series = (i + b) % SERIES.length;
                        boolean switched = on != (series != OFF);
                        on = series != OFF;
                        track(on);
                        double[] each = batch(input, output, series == INSIDE ? transaction : null, switched);
                        for (int kind = 0; kind < NAMES.length; kind++) {
                            times[series][kind][b] = each[kind];
                        }
                    }
                    for (int kind = 0; kind < NAMES.length; kind++) {
                        idle[kind][b] = times[OUTSIDE][kind][b] / times[OFF][kind][b];
                        pair[kind][b] = times[INSIDE][kind][b] / times[OUTSIDE][kind][b];
                    }
                }
                for (int kind = 0; kind < NAMES.length; kind++) {
                    for (int series = 0; series < SERIES.length; series++) {
                        line.append(String.format(" %s.%s=%.1f", SERIES[series], NAMES[kind],
                                median(times[series][kind])));
                    }
                    line.append(String.format(" idle.%s=%.4f pair.%s=%.4f", NAMES[kind], median(idle[kind]),
                            NAMES[kind], median(pair[kind])));
                }
            }
            System.out.println(line);
        } finally {
            output.delete();
            new File(output.getPath() + ".channel").delete();
        }
    }

    /** The parts of one operation, the best of 20 rounds each, inside a transaction. */
    static void costs(File input, Transaction transaction) throws Exception {
        Class<?> probe = Class.forName("vorkel.test.FileStreamProbe");
        java.lang.reflect.Method costs = probe.getMethod("operationCosts", Object.class, Object.class, int.class);
        String[] parts = (String[]) probe.getField("OPERATION_PARTS").get(null);
        try (FileInputStream stream = new FileInputStream(input);
                RandomAccessFile channelOwner = new RandomAccessFile(input, "r")) {
            transaction.join();
            long[] best = null;
            for (int round = 0; round < 20; round++) {
                long[] each = (long[]) costs.invoke(null, stream, channelOwner.getFD(), 200_000);
                if (best == null) {
                    best = each;
                }
                for (int i = 0; i < each.length; i++) {
                    best[i] = Math.min(best[i], each[i]);
                }
            }
            transaction.leave();
            StringBuilder line = new StringBuilder("RESULT");
            for (int i = 0; i < parts.length; i++) {
                line.append(' ').append(parts[i]).append("_ns=").append(best[i]);
            }
            System.out.println(line);
        }
    }
}
