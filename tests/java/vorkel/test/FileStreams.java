package vorkel.test;

import java.io.BufferedReader;
import java.io.BufferedWriter;
import java.io.File;
import java.io.FileDescriptor;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.FileReader;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.lang.invoke.MethodType;
import java.lang.ref.WeakReference;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

import vorkel.runtime.agent.bootstrap.Agent;
import vorkel.runtime.agent.feature.io.file.FileStreamTrackerNativeImpl;
import vorkel.runtime.agent.probes.ut.natives.NativeTransactionSummary;
import vorkel.runtime.agent.probes.ut.natives.RecurringStreamOperationSummary;
import vorkel.runtime.agent.probes.ut.natives.RecurringStreamOperationSummary.Row;
import vorkel.runtime.agent.probes.ut.natives.TimingOperationSummary;
import vorkel.runtime.agent.probes.ut.natives.UserTransactionNativeImpl;
import vorkel.runtime.agent.tools.reflection.JniReflectionNativeImpl;

/** In-JVM halves of the tests of the file stream tracker. */
public final class FileStreams {
    private FileStreams() {
    }

    /** Results wait here while a transaction counts: printing is a write to a file stream. */
    static final List<String> PENDING = new ArrayList<>();

    static void result(String key, Object value) {
        PENDING.add(key + "=" + value);
    }

    static void printResults() {
        for (String line : PENDING) {
            Harness.result(line.substring(0, line.indexOf('=')), line.substring(line.indexOf('=') + 1));
        }
        PENDING.clear();
    }

    static FileStreamTrackerNativeImpl tracker() {
        return FileStreamTrackerNativeImpl.instance();
    }

    static File file(String dir, String name, int size) throws IOException {
        File file = new File(dir, name);
        byte[] bytes = new byte[size];
        for (int i = 0; i < size; i++) {
            bytes[i] = (byte) i;
        }
        Files.write(file.toPath(), bytes);
        return file;
    }

    static String exceptionOf(Callable action) {
        try {
            action.call();
            return "none";
        } catch (InvocationTargetException e) {
            return e.getCause().getClass().getName();
        } catch (Exception e) {
            return e.getClass().getName() + ":" + e.getMessage();
        }
    }

    interface Callable {
        void call() throws Exception;
    }

    /** Opens a stream and drops it without closing; its registry key. */
    static long dropOpenStream(File file, WeakReference<?>[] out) throws IOException {
        FileInputStream stream = new FileInputStream(file);
        out[0] = new WeakReference<>(stream);
        return FileStreamProbe.streamKey(stream);
    }

    /** The registry: keys and paths of opened streams, closing, GC, bad input, switching off. */
    public static void registry(String[] args) throws Exception {
        String dir = args[1];
        File data = file(dir, "data.bin", 100);
        FileInputStream before = new FileInputStream(data);
        result("key_before_enabled", FileStreamProbe.streamKey(before));
        tracker().setEnabled(true);
        tracker().setEnabled(true);
        result("read_before_enabled", before.read());  // rebinds to the hook: no key, plain result
        before.close();
        long baseline = FileStreamProbe.registrySize();
        result("baseline", baseline);

        FileInputStream in = new FileInputStream(data);
        long inKey = FileStreamProbe.streamKey(in);
        result("input_path", FileStreamProbe.registeredPath(inKey));
        FileOutputStream out = new FileOutputStream(new File(dir, "out.bin"), true);
        long outKey = FileStreamProbe.streamKey(out);
        result("output_path", FileStreamProbe.registeredPath(outKey));
        RandomAccessFile random = new RandomAccessFile(data, "r");
        long randomKey = FileStreamProbe.streamKey(random);
        result("random_path", FileStreamProbe.registeredPath(randomKey));
        result("keys_ascend", inKey > 0 && outKey == inKey + 1 && randomKey == outKey + 1);
        result("registered_three", FileStreamProbe.registrySize() - baseline);
        result("read_through_hook", in.read() + "," + in.read(new byte[10]) + "," + random.read());
        in.close();
        out.close();
        random.close();
        result("closed_untagged", FileStreamProbe.streamKey(in) + FileStreamProbe.streamKey(out)
                + FileStreamProbe.streamKey(random));
        result("closed_unregistered", FileStreamProbe.registeredPath(inKey) == null
                && FileStreamProbe.registeredPath(outKey) == null && FileStreamProbe.registeredPath(randomKey) == null);
        result("closed_read", exceptionOf(() -> in.read()));
        result("closed_block_read", exceptionOf(() -> in.read(new byte[4])));
        result("closed_write", exceptionOf(() -> out.write(new byte[4])));

        WeakReference<?>[] dropped = new WeakReference<?>[1];
        long droppedKey = dropOpenStream(data, dropped);
        result("dropped_registered", FileStreamProbe.registeredPath(droppedKey) != null);
        WeakReference<?> droppedStream = dropped[0];
        result("dropped_forgotten", Harness.collectUntil(200, FileStreamProbe::flushObjectFree,
                () -> droppedStream.get() == null && FileStreamProbe.registeredPath(droppedKey) == null) > 0);

        for (int i = 0; i < 10000; i++) {
            try (FileInputStream stream = new FileInputStream(data)) {
                stream.read();
            }
        }
        result("after_many", FileStreamProbe.registrySize() - baseline);

        result("missing_file", exceptionOf(() -> new FileInputStream(new File(dir, "missing"))));
        result("missing_file_output", exceptionOf(() -> new FileOutputStream(new File(dir, "no/such/dir"))));
        result("after_failed_opens", FileStreamProbe.registrySize() - baseline);

        Method open0 = FileInputStream.class.getDeclaredMethod("open0", String.class);
        JniReflectionNativeImpl.makeAccessible(open0);
        FileInputStream onDescriptor = new FileInputStream(FileDescriptor.in);
        result("null_path", exceptionOf(() -> open0.invoke(onDescriptor, (Object) null)));
        result("after_null_path", FileStreamProbe.registrySize() - baseline);

        FileStreamProbe.failAllocations(1);
        try (FileInputStream starved = new FileInputStream(data)) {
            result("starved_key", FileStreamProbe.streamKey(starved));
            byte[] bytes = new byte[100];
            result("starved_read", starved.read(bytes) + ":" + bytes[99]);
        }
        FileStreamProbe.failAllocations(0);
        result("after_starved", FileStreamProbe.registrySize() - baseline);

        tracker().setEnabled(false);
        TRANSACTIONS.joinTransactionNative(new Object(), 1000);
        try (FileInputStream off = new FileInputStream(data)) {
            result("disabled_key", FileStreamProbe.streamKey(off));
            result("disabled_read", off.read(new byte[10]));
        }
        NativeTransactionSummary[] summaries = TRANSACTIONS.fetchNativeSummaries();
        result("disabled_counted", summaries[0] + "/" + summaries[1]);
        tracker().setEnabled(true);
        try (FileInputStream on = new FileInputStream(data)) {
            result("reenabled_key_set", FileStreamProbe.streamKey(on) != 0);
        }
        Agent.initialiser().disableAgent();
        tracker().setEnabled(true);
        try (FileInputStream off = new FileInputStream(data)) {
            result("after_disable_key", FileStreamProbe.streamKey(off));
            result("after_disable_read", off.read());
        }
        summaries = TRANSACTIONS.fetchNativeSummaries();
        result("after_disable_counted", summaries[0] + "/" + summaries[1]);
        TRANSACTIONS.leaveTransactionNative();
        result("after_all", FileStreamProbe.registrySize() - baseline);
        printResults();
    }

    /** The agent's hooked methods with their bind counts (-1 when it did not find the method). */
    static Map<String, Integer> hookBinds() {
        Map<String, Integer> binds = new LinkedHashMap<>();
        for (String line : FileStreamProbe.hookBinds().split("\n")) {
            int equals = line.lastIndexOf('=');
            String count = line.substring(equals + 1);
            binds.put(line.substring(0, equals), count.equals("absent") ? -1 : Integer.parseInt(count));
        }
        return binds;
    }

    /**
     * Whether the class library has a native method of this "Class.name(descriptor)" (a class of
     * java.io when not qualified).
     */
    static boolean isNative(String hook) {
        int paren = hook.indexOf('(');
        int dot = hook.lastIndexOf('.', paren);
        String owner = hook.substring(0, dot);
        Class<?> type;
        try {
            type = Class.forName(owner.indexOf('.') < 0 ? "java.io." + owner : owner);
        } catch (ClassNotFoundException e) {
            return false;
        }
        for (Method method : type.getDeclaredMethods()) {
            String descriptor = MethodType.methodType(method.getReturnType(), method.getParameterTypes())
                    .toMethodDescriptorString();
            if (Modifier.isNative(method.getModifiers()) && method.getName().equals(hook.substring(dot + 1, paren))
                    && descriptor.equals(hook.substring(paren))) {
                return true;
            }
        }
        return false;
    }

    /** Every hooked native once, inside a transaction; the timing counts it gave. */
    static String everyNative(File data, File out) throws Exception {
        TRANSACTIONS.joinTransactionNative(new Object(), 1000);
        try (FileInputStream in = new FileInputStream(data)) {
            in.read();
            in.read(new byte[8]);
        }
        try (FileOutputStream stream = new FileOutputStream(out, true)) {
            stream.write(1);
            stream.write(new byte[8]);
        }
        try (RandomAccessFile random = new RandomAccessFile(out, "rw")) {
            random.read();
            random.read(new byte[8]);
            random.write(1);
            random.write(new byte[8]);
        }
        everyChannelNative(data, out);
        String counted = timings((TimingOperationSummary) TRANSACTIONS.fetchNativeSummaries()[0]);
        TRANSACTIONS.leaveTransactionNative();
        return counted;
    }

    /**
     * The file channels' natives: reads and writes of each kind, transfers both ways, the opens and
     * closes of java.nio.file, both copies of Files.copy (an empty file goes through a buffer) and
     * the cleaner's close (of no descriptor).
     */
    static void everyChannelNative(File data, File out) throws Exception {
        try (FileChannel channel = FileChannel.open(out.toPath(), StandardOpenOption.READ, StandardOpenOption.WRITE)) {
            channel.write(ByteBuffer.allocate(8));
            channel.write(ByteBuffer.allocate(8), 0);
            channel.write(new ByteBuffer[] {ByteBuffer.allocate(4), ByteBuffer.allocate(4)});
            channel.read(ByteBuffer.allocate(8), 0);
            channel.position(0);
            channel.read(ByteBuffer.allocate(8));
            channel.read(new ByteBuffer[] {ByteBuffer.allocate(4), ByteBuffer.allocate(4)});
            try (FileChannel source = FileChannel.open(data.toPath())) {
                source.transferTo(0, 8, channel);
                channel.transferFrom(source, 0, 8);
            }
        }
        File copy = new File(out.getPath() + ".copy");
        File empty = new File(out.getPath() + ".empty");
        Files.write(empty.toPath(), new byte[0]);
        Files.copy(data.toPath(), copy.toPath(), StandardCopyOption.REPLACE_EXISTING);
        Files.copy(empty.toPath(), copy.toPath(), StandardCopyOption.REPLACE_EXISTING);
        Method cleanup = Class.forName("java.io.FileCleanable").getDeclaredMethod("cleanupClose0", int.class,
                long.class);
        JniReflectionNativeImpl.makeAccessible(cleanup);
        cleanup.invoke(null, -1, -1L);
    }

    /**
     * Which natives the JVM binds through the agent, and again after each switch: per hooked
     * method the binds while enabled, disabled, enabled again and enabled once more (no switch),
     * or "absent"; whether the class
     * library has the method as a native; what each phase counted.
     */
    public static void binds(String[] args) throws Exception {
        File data = file(args[1], "binds.bin", 64);
        File out = new File(args[1], "binds.out");
        // Loaded now: its jar's reads (a file opened before the tracker) would count in the timings.
        Class.forName(JniReflectionNativeImpl.class.getName());
        Map<String, Integer> before = hookBinds();
        tracker().setEnabled(true);
        result("enabled_counted", everyNative(data, out));
        Map<String, Integer> enabled = hookBinds();
        tracker().setEnabled(false);
        result("disabled_counted", everyNative(data, out));
        Map<String, Integer> disabled = hookBinds();
        tracker().setEnabled(true);
        result("reenabled_counted", everyNative(data, out));
        Map<String, Integer> reenabled = hookBinds();
        tracker().setEnabled(true);  // no change: nothing is unregistered
        everyNative(data, out);
        Map<String, Integer> again = hookBinds();
        // The channels' natives are looked up at the first enable: absent before it, from 0.
        for (Map.Entry<String, Integer> hook : enabled.entrySet()) {
            String name = hook.getKey();
            int start = Math.max(0, before.getOrDefault(name, 0));
            String binds = hook.getValue() < 0 ? "absent" : (enabled.get(name) - start) + "," + (disabled.get(name) - start)
                    + "," + (reenabled.get(name) - start) + "," + (again.get(name) - start);
            result("bound." + name, (isNative(name) ? "native:" : "not-native:") + binds);
        }
        printResults();
    }

    static final UserTransactionNativeImpl TRANSACTIONS = new UserTransactionNativeImpl();
    static final int MIB = 1 << 20;

    /** Rows as "name kind count bytes" lines for the test to compare, named by the file. */
    static void rows(String prefix, RecurringStreamOperationSummary summary) {
        for (Row row : summary.rows()) {
            String name = row.path == null ? "none" : new File(row.path).getName();
            result(prefix + name + "." + RecurringStreamOperationSummary.kindName(row.kind),
                    row.count + "/" + row.bytes);
        }
    }

    static String timings(TimingOperationSummary timings) {
        if (timings == null) {
            return "null";
        }
        return timings.count(0) + "," + timings.count(1) + "," + timings.count(2) + "," + timings.count(3);
    }

    static String stackMethod(Row row) {
        return stackMethod(row, FileStreams.class);
    }

    /** The method of the owner class that the row's sampled stack passes through. */
    static String stackMethod(Row row, Class<?> owner) {
        if (row.stack == null) {
            return "none";
        }
        String prefix = "L" + owner.getName().replace('.', '/') + ";.";
        for (String line : row.stack.split("\n")) {
            if (line.startsWith(prefix)) {
                return line.substring(prefix.length(), line.indexOf(':'));
            }
        }
        return "other";
    }

    static void readInBlocksThenBytes(FileInputStream in) throws IOException {
        byte[] block = new byte[4096];
        for (int i = 0; i < MIB / 4096 - 1; i++) {
            if (in.read(block) != 4096) {
                throw new IllegalStateException("short read");
            }
        }
        pause();
        while (in.read() != -1) {
            // the last 4 KiB byte by byte, then the end of the file once
        }
        if (in.read(block) != -1) {
            throw new IllegalStateException("no end of file");
        }
    }

    static void writeBlocksThenBytes(FileOutputStream out) throws IOException {
        byte[] block = new byte[4096];
        for (int i = 0; i < MIB / 4096; i++) {
            out.write(block);
        }
        pause();
        for (int i = 0; i < 100; i++) {
            out.write(i);
        }
    }

    /** Longer than the spacing of stack samples. */
    static void pause() {
        try {
            Thread.sleep(120);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /**
     * Writes to a full file system inside a transaction: the IOException reaches the caller, the
     * failed writes count once without bytes, and a stack sampled while it is pending is whole.
     */
    public static void fullDisk(String[] args) throws Exception {
        tracker().setEnabled(true);
        File target = new File(args[1], "full.bin");
        TRANSACTIONS.joinTransactionNative(new Object(), 1000);
        FileOutputStream out = new FileOutputStream(target);
        byte[] block = new byte[4096];
        result("block_failure", exceptionOf(() -> {
            for (int i = 0; i < 1 << 20; i++) {
                out.write(block);
            }
        }));
        pause();  // the failing single-byte write takes the next stack sample
        result("byte_failure", exceptionOf(() -> out.write(1)));
        out.close();
        RecurringStreamOperationSummary streams = (RecurringStreamOperationSummary) TRANSACTIONS.fetchNativeSummaries()[1];
        TRANSACTIONS.leaveTransactionNative();
        long length = target.length();
        for (Row row : streams.rows()) {
            if (row.kind == RecurringStreamOperationSummary.KIND_WRITE_BLOCK) {
                result("blocks_counted", row.count == length / block.length + 1 && row.bytes == length);
            } else {
                result("byte_row", row.count + "/" + row.bytes + "/" + stackMethod(row).contains("fullDisk"));
            }
        }
        printResults();
    }

    /**
     * Reads and writes inside a transaction: rows per (stream, kind), timings, stacks; the same
     * reads outside count nothing; a stream opened before the tracker was enabled has no row.
     */
    public static void transaction(String[] args) throws Exception {
        String dir = args[1];
        File input = file(dir, "input.bin", MIB);
        File text = new File(dir, "lines.txt");
        Files.write(text.toPath(), "one\ntwo\nthree\n".getBytes(StandardCharsets.UTF_8));
        FileInputStream early = new FileInputStream(input);
        tracker().setEnabled(true);

        TRANSACTIONS.joinTransactionNative(new Object(), 1000);
        pause();
        try (FileInputStream in = new FileInputStream(input)) {
            readInBlocksThenBytes(in);
        }
        pause();
        try (FileOutputStream out = new FileOutputStream(new File(dir, "output.bin"))) {
            writeBlocksThenBytes(out);
        }
        early.read(new byte[10]);
        NativeTransactionSummary[] summaries = TRANSACTIONS.fetchNativeSummaries();
        RecurringStreamOperationSummary streams = (RecurringStreamOperationSummary) summaries[1];
        rows("row.", streams);
        result("row_count", streams.rows().size());
        result("evicted", streams.evictedCount() + "/" + (streams.aggregate() == null));
        StringBuilder methods = new StringBuilder();
        for (Row row : streams.rows()) {
            methods.append(stackMethod(row)).append(',');
        }
        result("stack_methods", methods);
        Row first = streams.rows().get(0);
        result("times_ordered", first.firstStartMillis <= first.lastEndMillis
                && Math.abs(first.firstStartMillis - System.currentTimeMillis()) < 60000);
        result("timings", timings((TimingOperationSummary) summaries[0]));
        result("refetch", TRANSACTIONS.fetchNativeSummaries()[1] == null);

        // No memory for the flush: no summary, the table is emptied all the same.
        try (FileInputStream in = new FileInputStream(input)) {
            result("starved_flush_read", in.read(new byte[100]));
        }
        FileStreamProbe.failAllocations(1);
        result("starved_flush", TRANSACTIONS.fetchNativeSummaries()[1]);
        FileStreamProbe.failAllocations(0);
        result("after_starved_flush", TRANSACTIONS.fetchNativeSummaries()[1]);

        // Buffered wrappers: a reader over a FileInputStream is seen, and so is NIO's writer.
        try (BufferedReader reader = new BufferedReader(new FileReader(text))) {
            while (reader.readLine() != null) {
                // the whole file
            }
        }
        try (BufferedWriter writer = Files.newBufferedWriter(new File(dir, "nio.txt").toPath())) {
            writer.write("not seen");
        }
        try (RandomAccessFile random = new RandomAccessFile(new File(dir, "random.bin"), "rw")) {
            random.write(new byte[300]);
            random.write(7);
            random.seek(0);
            random.read();
            random.read(new byte[200]);
        }
        summaries = TRANSACTIONS.fetchNativeSummaries();
        rows("wrapped.", (RecurringStreamOperationSummary) summaries[1]);
        result("wrapped_timings", timings((TimingOperationSummary) summaries[0]));
        TRANSACTIONS.leaveTransactionNative();

        try (FileInputStream in = new FileInputStream(input)) {
            readInBlocksThenBytes(in);
        }
        TRANSACTIONS.joinTransactionNative(new Object(), 1000);
        summaries = TRANSACTIONS.fetchNativeSummaries();
        result("outside", summaries[0] + "/" + summaries[1]);

        // Sixty streams, each with a stack: fifty rows, ten merged into the aggregate.
        FileStreamProbe.stackIntervalMillis(0);
        List<File> many = new ArrayList<>();
        for (int i = 0; i < 60; i++) {
            many.add(file(dir, "many" + i, 16));  // written through a channel, before the transaction
        }
        TRANSACTIONS.joinTransactionNative(new Object(), 1000);
        for (File each : many) {
            try (FileInputStream in = new FileInputStream(each)) {
                in.read(new byte[16]);
            }
        }
        streams = (RecurringStreamOperationSummary) TRANSACTIONS.fetchNativeSummaries()[1];
        Row aggregate = streams.aggregate();
        result("many_rows", streams.rows().size());
        result("many_evicted", streams.evictedCount());
        result("many_aggregate", aggregate == null ? "none" : aggregate.count + "/" + aggregate.bytes + "/" + aggregate.path);
        result("many_saved_stacks", streams.savedStacks().size());
        result("many_saved_names_method", streams.savedStacks().isEmpty() ? "none"
                : String.valueOf(streams.savedStacks().get(0).contains("Lvorkel/test/FileStreams;.transaction:")));
        result("registry_left", FileStreamProbe.registrySize());
        TRANSACTIONS.leaveTransactionNative();
        early.close();
        printResults();
    }
}
