package vorkel.test;

import java.io.File;
import java.io.FileDescriptor;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.lang.ref.WeakReference;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.nio.file.Files;

import vorkel.runtime.agent.bootstrap.Agent;
import vorkel.runtime.agent.feature.io.file.FileStreamTrackerNativeImpl;
import vorkel.runtime.agent.tools.reflection.JniReflectionNativeImpl;

/** In-JVM halves of the tests of the file stream tracker. */
public final class FileStreams {
    private FileStreams() {
    }

    static void result(String key, Object value) {
        System.out.println("RESULT " + key + "=" + value);
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

    /** Collects garbage until the registry forgot key; the number of rounds, -1 when it did not. */
    static int roundsUntilUnregistered(long key, WeakReference<?> stream) {
        for (int round = 1; round <= 200; round++) {
            System.gc();
            FileStreamProbe.flushObjectFree();
            if (stream.get() == null && FileStreamProbe.registeredPath(key) == null) {
                return round;
            }
            Thread.yield();
        }
        return -1;
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
        result("dropped_rounds", roundsUntilUnregistered(droppedKey, dropped[0]));

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
        try (FileInputStream off = new FileInputStream(data)) {
            result("disabled_key", FileStreamProbe.streamKey(off));
            result("disabled_read", off.read(new byte[10]));
        }
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
        result("after_all", FileStreamProbe.registrySize() - baseline);
    }
}
