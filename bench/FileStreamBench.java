import java.io.File;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.nio.file.Files;
import java.util.Arrays;

/**
 * Nanoseconds per 4 KiB FileInputStream.read from the page cache and per single-byte
 * FileOutputStream.write, in one JVM configured by bench/file_stream_bench.sh:
 * <ul>
 * <li>"none": no agent; "jfr": no agent, JFR recording with its default settings (jdk.FileRead
 * and jdk.FileWrite at 20 ms);</li>
 * <li>"outside": the agent with the file stream tracker enabled, the thread in no transaction;</li>
 * <li>"inside": the same, each measured batch inside a transaction of its own;</li>
 * <li>"costs": inside a transaction, the parts of the hooks' work one by one (test kit natives).</li>
 * </ul>
 * The reads cycle through a 1 MiB file (a backwards skip every 256 reads, the same in every
 * configuration); the writes go to a file truncated before every batch. Prints the median of the
 * batches: "RESULT read_ns=... write_ns=...".
 */
public final class FileStreamBench {
    static final int BLOCK = 4096;
    static final int FILE_SIZE = 1 << 20;
    static final int READS = 50_000;
    static final int WRITES = 100_000;

    interface Transaction {
        void join();

        void leave();
    }

    static Transaction transaction(String mode) throws Exception {
        if (!mode.equals("inside") && !mode.equals("costs")) {
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

    static int position;  // blocks read since the start of the file

    static long reads(FileInputStream in, byte[] block, int count) throws IOException {
        long sum = 0;
        long start = System.nanoTime();
        for (int i = 0; i < count; i++) {
            int n = in.read(block);
            if (n < BLOCK) {
                throw new IllegalStateException("short read " + n);
            }
            sum += block[i & (BLOCK - 1)];
            if (++position == FILE_SIZE / BLOCK) {
                in.skip(-FILE_SIZE);
                position = 0;
            }
        }
        long time = System.nanoTime() - start;
        if (sum == Long.MIN_VALUE) {
            System.out.println(sum);
        }
        return time;
    }

    static long writes(File target, int count) throws IOException {
        try (FileOutputStream out = new FileOutputStream(target)) {
            long start = System.nanoTime();
            for (int i = 0; i < count; i++) {
                out.write(i);
            }
            return System.nanoTime() - start;
        }
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
        byte[] block = new byte[BLOCK];
        try (FileInputStream in = new FileInputStream(input)) {
            if (mode.equals("costs")) {
                costs(in, transaction);
                return;
            }
            for (int i = 0; i < 3; i++) {  // warm-up, compiled code in the measured batches
                reads(in, block, READS);
                writes(output, WRITES);
            }
            double[] read = new double[batches];
            double[] write = new double[batches];
            for (int b = 0; b < batches; b++) {
                if (transaction != null) {
                    transaction.join();
                }
                read[b] = (double) reads(in, block, READS) / READS;
                write[b] = (double) writes(output, WRITES) / WRITES;
                if (transaction != null) {
                    transaction.leave();
                }
            }
            System.out.printf("RESULT read_ns=%.1f write_ns=%.1f%n", median(read), median(write));
        } finally {
            output.delete();
        }
    }

    static void costs(FileInputStream in, Transaction transaction) throws Exception {
        Class<?> probe = Class.forName("vorkel.test.FileStreamProbe");
        java.lang.reflect.Method costs = probe.getMethod("operationCosts", Object.class, int.class);
        transaction.join();
        in.read(new byte[BLOCK]);  // the stream's entry exists
        position++;
        long[] best = null;
        for (int round = 0; round < 20; round++) {
            long[] each = (long[]) costs.invoke(null, in, 200_000);
            if (best == null) {
                best = each;
            }
            for (int i = 0; i < each.length; i++) {
                best[i] = Math.min(best[i], each[i]);
            }
        }
        transaction.leave();
        System.out.printf("RESULT clock_ns=%d transaction_lookup_ns=%d get_tag_ns=%d exception_check_ns=%d"
                + " table_update_ns=%d accounting_ns=%d clocks_around_tag_ns=%d%n", best[0], best[1], best[2], best[3],
                best[4], best[5], best[6]);
    }
}
