package vorkel.test;

import static vorkel.test.FileStreams.TRANSACTIONS;
import static vorkel.test.FileStreams.exceptionOf;
import static vorkel.test.FileStreams.file;
import static vorkel.test.FileStreams.result;

import java.io.BufferedReader;
import java.io.BufferedWriter;
import java.io.File;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.ByteBuffer;
import java.nio.MappedByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.channels.Pipe;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.Set;
import java.util.TreeSet;

import vorkel.runtime.agent.probes.ut.natives.NativeTransactionSummary;
import vorkel.runtime.agent.probes.ut.natives.RecurringStreamOperationSummary;
import vorkel.runtime.agent.probes.ut.natives.RecurringStreamOperationSummary.Row;
import vorkel.runtime.agent.probes.ut.natives.TimingOperationSummary;

/** In-JVM halves of the tests of the file stream tracker on file channels (java.nio). */
public final class FileChannels {
    private FileChannels() {
    }

    static final int SIZE = 10_000;  // more than one 8 KiB chunk of Files.write

    static Path path(String dir, String name) {
        return new File(dir, name).toPath();
    }

    static ByteBuffer bytes(int count) {
        ByteBuffer buffer = ByteBuffer.allocate(count);
        for (int i = 0; i < count; i++) {
            buffer.put((byte) i);
        }
        buffer.flip();
        return buffer;
    }

    /** Talks over a loopback socket, a socket channel and a pipe: none of them is a file. */
    static void socketsAndPipes() throws IOException {
        try (ServerSocket server = new ServerSocket(0, 1, InetAddress.getLoopbackAddress());
                Socket client = new Socket(InetAddress.getLoopbackAddress(), server.getLocalPort());
                Socket accepted = server.accept()) {
            OutputStream out = client.getOutputStream();
            out.write(new byte[100]);
            out.flush();
            InputStream in = accepted.getInputStream();
            in.readNBytes(100);
            try (SocketChannel channel = SocketChannel.open(server.getLocalSocketAddress());
                    Socket other = server.accept()) {
                channel.write(bytes(50));
                other.getInputStream().readNBytes(50);
            }
        }
        Pipe pipe = Pipe.open();
        try (Pipe.SinkChannel sink = pipe.sink(); Pipe.SourceChannel source = pipe.source()) {
            sink.write(bytes(64));
            source.read(ByteBuffer.allocate(64));
        }
    }

    /** Every kind of channel operation once or a few times, on files of their own names. */
    static void everyPath(String dir) throws Exception {
        Files.readAllBytes(path(dir, "all.bin"));
        try (BufferedReader reader = Files.newBufferedReader(path(dir, "reader.txt"))) {
            while (reader.readLine() != null) {
                // the whole file
            }
        }
        Files.write(path(dir, "written.bin"), new byte[SIZE]);
        try (BufferedWriter writer = Files.newBufferedWriter(path(dir, "writer.txt"))) {
            writer.write("eleven char");
        }
        try (FileChannel channel = FileChannel.open(path(dir, "channel.bin"), StandardOpenOption.READ)) {
            channel.read(ByteBuffer.allocate(100));
            channel.read(ByteBuffer.allocateDirect(100), 1000);
            channel.read(new ByteBuffer[] {ByteBuffer.allocate(30), ByteBuffer.allocate(70)});
            channel.position(SIZE);
            channel.read(ByteBuffer.allocate(10));  // the end of the file: counts, moves nothing
        }
        try (FileChannel channel = FileChannel.open(path(dir, "channel-out.bin"), StandardOpenOption.CREATE,
                StandardOpenOption.WRITE)) {
            channel.write(bytes(100));
            channel.write(bytes(200), 5000);
            channel.write(new ByteBuffer[] {bytes(30), bytes(40)});
        }
        try (FileChannel source = FileChannel.open(path(dir, "to-source.bin"), StandardOpenOption.READ);
                FileChannel target = FileChannel.open(path(dir, "to-target.bin"), StandardOpenOption.CREATE,
                        StandardOpenOption.WRITE)) {
            source.transferTo(0, SIZE, target);
        }
        try (FileChannel source = FileChannel.open(path(dir, "from-source.bin"), StandardOpenOption.READ);
                FileChannel target = FileChannel.open(path(dir, "from-target.bin"), StandardOpenOption.CREATE,
                        StandardOpenOption.WRITE)) {
            target.transferFrom(source, 0, SIZE);
        }
        Files.copy(path(dir, "copy-source.bin"), path(dir, "copy-target.bin"));
        Files.copy(path(dir, "empty-source.bin"), path(dir, "empty-target.bin"));
        try (FileInputStream in = new FileInputStream(new File(dir, "stream-source.bin"));
                FileOutputStream out = new FileOutputStream(new File(dir, "stream-target.bin"))) {
            in.transferTo(out);
        }
        try (FileInputStream in = new FileInputStream(new File(dir, "stream-channel.bin"))) {
            in.getChannel().read(ByteBuffer.allocate(500));  // the stream's channel: the stream's file
        }
        try (FileChannel channel = FileChannel.open(path(dir, "mapped.bin"), StandardOpenOption.READ)) {
            MappedByteBuffer mapped = channel.map(FileChannel.MapMode.READ_ONLY, 0, SIZE);
            long sum = 0;
            for (int i = 0; i < SIZE; i++) {
                sum += mapped.get(i);
            }
            result("mapped_sum", sum);
        }
    }

    static final String[] SOURCES = {"all.bin", "reader.txt", "channel.bin", "to-source.bin", "from-source.bin",
        "copy-source.bin", "stream-source.bin", "stream-channel.bin", "mapped.bin"};

    static void prepare(String dir) throws IOException {
        for (String name : SOURCES) {
            if (name.endsWith(".txt")) {
                Files.write(path(dir, name), "one\ntwo\nthree\n".getBytes(StandardCharsets.UTF_8));
            } else {
                file(dir, name, SIZE);
            }
        }
        Files.write(path(dir, "empty-source.bin"), new byte[0]);
    }

    static void removeTargets(String dir) throws IOException {
        for (String name : new String[] {"written.bin", "writer.txt", "channel-out.bin", "to-target.bin",
            "from-target.bin", "copy-target.bin", "empty-target.bin", "stream-target.bin"}) {
            Files.deleteIfExists(path(dir, name));
        }
    }

    /**
     * Every channel path inside one transaction: rows per (file, kind) with counts and bytes, the
     * timing counters, a stack; sockets and pipes give no row; the same outside counts nothing.
     */
    public static void transaction(String[] args) throws Exception {
        String dir = args[1];
        prepare(dir);
        FileStreams.tracker().setEnabled(true);
        socketsAndPipes();  // the class library's own first use of sockets reads files of its own
        long registered = FileStreamProbe.registrySize();

        TRANSACTIONS.joinTransactionNative(new Object(), 1000);
        FileStreams.pause();  // the first row gets a stack
        everyPath(dir);
        socketsAndPipes();
        NativeTransactionSummary[] summaries = TRANSACTIONS.fetchNativeSummaries();
        RecurringStreamOperationSummary files = (RecurringStreamOperationSummary) summaries[1];
        FileStreams.rows("row.", files);
        Set<String> named = new TreeSet<>();
        for (Row row : files.rows()) {
            named.add(row.path == null ? "none" : new File(row.path).getName());
        }
        result("row_count", files.rows().size());
        result("files", String.join(",", named));
        Row first = files.rows().get(0);
        result("first_stack", FileStreams.stackMethod(first, FileChannels.class));
        TimingOperationSummary timings = (TimingOperationSummary) summaries[0];
        StringBuilder counts = new StringBuilder();
        for (int kind = RecurringStreamOperationSummary.KIND_CHANNEL_READ;
                kind <= RecurringStreamOperationSummary.KIND_TRANSFER; kind++) {
            counts.append(kind == RecurringStreamOperationSummary.KIND_CHANNEL_READ ? "" : ",")
                    .append(timings.count(kind));
        }
        result("channel_timings", counts);
        TRANSACTIONS.leaveTransactionNative();
        result("registry_after", FileStreamProbe.registrySize() - registered);

        removeTargets(dir);
        everyPath(dir);
        socketsAndPipes();
        TRANSACTIONS.joinTransactionNative(new Object(), 1000);
        summaries = TRANSACTIONS.fetchNativeSummaries();
        result("outside", summaries[0] + "/" + summaries[1]);
        TRANSACTIONS.leaveTransactionNative();
        FileStreams.printResults();
    }

    /**
     * What the JDK does stays as it was inside a transaction: a read of a channel opened for
     * writing only, a read of a directory, an open of a missing file, an interrupted read (the
     * channel closes), and writes to a full file system (the IOException, counted without bytes).
     */
    public static void failures(String[] args) throws Exception {
        String dir = args[1];
        String full = args[2];
        FileStreams.tracker().setEnabled(true);
        file(dir, "data.bin", SIZE);
        long registered = FileStreamProbe.registrySize();
        TRANSACTIONS.joinTransactionNative(new Object(), 1000);
        try (FileChannel channel = FileChannel.open(path(dir, "data.bin"), StandardOpenOption.APPEND)) {
            result("write_only_read", exceptionOf(() -> channel.read(ByteBuffer.allocate(10))));
        }
        try (FileChannel channel = FileChannel.open(path(dir, "."), StandardOpenOption.READ)) {
            result("directory_read", exceptionOf(() -> channel.read(ByteBuffer.allocate(10))));
        }
        result("missing_open", exceptionOf(() -> FileChannel.open(path(dir, "missing.bin"))));
        FileChannel interrupted = FileChannel.open(path(dir, "data.bin"));
        Thread.currentThread().interrupt();
        result("interrupted_read", exceptionOf(() -> interrupted.read(ByteBuffer.allocate(10))));
        result("interrupted_open", interrupted.isOpen() + "/" + Thread.interrupted());
        try (FileChannel channel = FileChannel.open(path(full, "full.bin"), StandardOpenOption.CREATE,
                StandardOpenOption.WRITE)) {
            ByteBuffer block = ByteBuffer.allocateDirect(4096);
            result("full_write", exceptionOf(() -> {
                for (int i = 0; i < 1 << 20; i++) {
                    block.clear();
                    channel.write(block);
                }
            }));
        }
        RecurringStreamOperationSummary files = (RecurringStreamOperationSummary) TRANSACTIONS.fetchNativeSummaries()[1];
        long length = new File(full, "full.bin").length();
        for (Row row : files.rows()) {
            String name = new File(row.path).getName() + "." + RecurringStreamOperationSummary.kindName(row.kind);
            if (name.equals("full.bin.channel-write")) {
                result("full_counted", row.count == length / 4096 + 1 && row.bytes == length);
            } else {
                result("row." + name, row.count + "/" + row.bytes);
            }
        }
        TRANSACTIONS.leaveTransactionNative();
        result("registry_after", FileStreamProbe.registrySize() - registered);
        FileStreams.printResults();
    }
}
