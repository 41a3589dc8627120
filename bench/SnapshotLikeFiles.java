import java.io.BufferedOutputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.Random;

/**
 * Writes a pair of files shaped like a heap snapshot, for the archive benchmark when no real
 * snapshot is at hand (run as {@code java SnapshotLikeFiles.java INFO GRAPH INFO_MB GRAPH_MB}):
 *
 * <ul>
 * <li>INFO: the text file's sections (metadata, allocation points, classes with their fields and
 * methods, class sizes, thread stacks, class loaders, summary), with class, field and method names
 * drawn from a fixed vocabulary as in an application's class listing;</li>
 * <li>GRAPH: a stream of little-endian reference records as the heap walk writes them: a kind byte,
 * an optional field or element index, packed referrer and referee ids, and an object record after
 * the first reference to each object (flags, class id, size). Ids grow as the walk meets objects;
 * referrers are recent objects, referees mostly new objects or objects met shortly before.</li>
 * </ul>
 * The output is deterministic (fixed seed).
 */
public final class SnapshotLikeFiles {
    private static final String[] PACKAGES = {"java/util", "java/lang", "java/util/concurrent", "com/example/shop",
            "com/example/shop/order", "com/example/shop/cart", "org/framework/web", "org/framework/data/jpa",
            "io/netty/buffer", "com/fasterxml/jackson/databind", "org/hibernate/engine/spi", "sun/nio/ch"};
    private static final String[] NOUNS = {"Order", "Line", "Item", "Customer", "Cart", "Price", "Session", "Request",
            "Response", "Handler", "Entry", "Node", "Buffer", "Cache", "Registry", "Factory", "Context", "Event",
            "Listener", "Mapper", "Repository", "Service", "Controller", "Filter", "Pool", "Queue", "Task"};
    private static final String[] TYPES = {"I", "J", "Z", "B", "D", "Ljava/lang/String;", "Ljava/util/List;",
            "Ljava/util/Map;", "[B", "[Ljava/lang/Object;", "Ljava/lang/Object;", "Ljava/util/concurrent/locks/Lock;"};
    private static final String[] VERBS = {"get", "set", "is", "find", "create", "update", "handle", "process", "build",
            "to", "read", "write", "apply", "compute", "lookup", "register", "remove", "add"};

    public static void main(String[] args) throws IOException {
        long infoBytes = Long.parseLong(args[2]) * 1_000_000L;
        long graphBytes = Long.parseLong(args[3]) * 1_000_000L;
        writeInfo(args[0], infoBytes, new Random(11));
        writeGraph(args[1], graphBytes, new Random(13));
    }

    private static String className(Random random, int id) {
        return PACKAGES[id % PACKAGES.length] + "/" + NOUNS[(id / 7) % NOUNS.length] + NOUNS[(id / 3) % NOUNS.length]
                + (id % 5 == 0 ? "$" + NOUNS[random.nextInt(NOUNS.length)] : "") + (id % 11 == 0 ? "Impl" : "");
    }

    private static String member(Random random) {
        return VERBS[random.nextInt(VERBS.length)] + NOUNS[random.nextInt(NOUNS.length)];
    }

    private static void header(PrintStream out, String name) {
        out.printf("--- %-15s ---------------------------------\n", name);
    }

    private static void writeInfo(String path, long target, Random random) throws IOException {
        CountingStream counter = new CountingStream(new BufferedOutputStream(new FileOutputStream(path), 1 << 20));
        try (PrintStream out = new PrintStream(counter, false, StandardCharsets.UTF_8)) {
            header(out, "Metadata");
            out.print("Dump version: 5\nBuild number: 2106\nAccount ID: account\nJVM ID: jvm\nSession ID: session\n"
                    + "OOM timestamp: 1700000000123\nOS type: -m64\nCurrent thread: 1\nVM name: OpenJDK 64-Bit Server VM\n"
                    + "VM version: 17.0.15+6-Debian-1deb12u1\nHotspot symbols: full\nClass size type: full\n");
            header(out, "Allocation Points");
            for (int i = 0; i < 2000; i++) {
                out.printf("%13d %30s @ %40s\n", 32L * 524288 + i, className(random, i).replace('/', '.'),
                        className(random, i + 7).replace('/', '.') + "." + member(random) + ":" + random.nextInt(900));
            }
            header(out, "Classes");
            long budget = target * 7 / 10;
            int classes = 0;
            long methodId = 0x7f3a_1000_0000L;
            while (counter.count < budget) {
                classes++;
                out.printf("%13d %s\n", classes, "L" + className(random, classes) + ";");
                int fields = random.nextInt(9);
                for (int f = 0; f < fields; f++) {
                    out.printf("%13s  . %d %s %s\n", "", random.nextInt(4) * 2 + 2, TYPES[random.nextInt(TYPES.length)],
                            member(random).toLowerCase());
                }
                int methods = 2 + random.nextInt(14);
                for (int m = 0; m < methods; m++) {
                    methodId += 8 + random.nextInt(64) * 8;
                    out.printf("%13s  #%d %d %s %s\n", "", methodId, 1 + random.nextInt(2) * 8,
                            "(" + TYPES[random.nextInt(TYPES.length)] + ")" + TYPES[random.nextInt(TYPES.length)],
                            member(random));
                }
            }
            header(out, "Class Sizes");
            for (int c = 1; c <= classes; c++) {
                out.printf("%13d %d\n", c, 480 + random.nextInt(6000));
            }
            header(out, "Threads");
            long threadBudget = target - 4096;
            for (int t = 1; counter.count < threadBudget; t++) {
                out.printf("%16d %10d %8d %s\n", t, 1_000_000 + t * 37, 0x405, "http-worker-" + t);
                int depth = 20 + random.nextInt(60);
                for (int d = 0; d < depth; d++) {
                    out.printf("\tat %s.%s(%s.java:%d)\n", className(random, random.nextInt(classes)).replace('/', '.'),
                            member(random), NOUNS[random.nextInt(NOUNS.length)], 20 + random.nextInt(800));
                }
            }
            header(out, "Classloaders");
            for (int l = 0; l < 20; l++) {
                out.printf("%13d %d\n", 1000 + l * 131, 123456789L + l * 1000);
            }
            header(out, "Summary");
            out.printf("Object count: %d\nClass count: %d\n", 4_000_000, classes);
            header(out, "End");
        }
    }

    private static void writeId(OutputStream out, long id) throws IOException {
        if (id < (1L << 31)) {
            writeLe(out, id, 4);
        } else {
            writeLe(out, (id & 0x7FFFFFFFL) | 0x80000000L, 4);
            out.write((int) ((id >> 31) & 0xFF));
        }
    }

    private static void writeLe(OutputStream out, long value, int bytes) throws IOException {
        for (int i = 0; i < bytes; i++) {
            out.write((int) (value >>> (8 * i)) & 0xFF);
        }
    }

    private static int widthCode(long value) {
        return value == 0 ? 0 : value < 256 ? 1 : value < 65536 ? 2 : 3;
    }

    private static void writeGraph(String path, long target, Random random) throws IOException {
        int classCount = 6000;
        long nextId = classCount + 1;
        CountingStream out = new CountingStream(new BufferedOutputStream(new FileOutputStream(path), 1 << 20));
        try (out) {
            while (out.count < target) {
                boolean root = random.nextInt(50) == 0;
                long referrer = root ? 0 : Math.max(classCount + 1, nextId - 1 - (long) (random.nextDouble() * random.nextDouble() * 4000));
                boolean fresh = random.nextInt(10) < 6;
                long referee = fresh ? nextId++ : Math.max(1, nextId - 1 - random.nextInt(200_000));
                int kind = root ? 21 + random.nextInt(3) : random.nextInt(8) == 0 ? 3 : 2;
                long index = kind == 3 ? random.nextInt(random.nextBoolean() ? 16 : 5000) : kind == 2 ? random.nextInt(12) : 0;
                int code = widthCode(index);
                out.write(kind | (code << 5) | (fresh ? 0x80 : 0));
                writeLe(out, index, code == 3 ? 4 : code);
                writeId(out, referrer);
                writeId(out, referee);
                if (fresh) {
                    long classId = 1 + (long) (Math.pow(random.nextDouble(), 3) * classCount);
                    long size = random.nextInt(4) == 0 ? 16 + random.nextInt(4000) : 16 + 8 * random.nextInt(6);
                    int classCode = classId < 256 ? 0 : classId < 65536 ? 1 : 2;
                    int sizeCode = widthCode(size);
                    out.write((classCode << 1) | (sizeCode << 3));
                    writeLe(out, classId, classCode == 2 ? 4 : classCode + 1);
                    writeLe(out, size, sizeCode == 3 ? 4 : sizeCode);
                }
            }
        }
    }

    /** Counts the bytes written through it. */
    private static final class CountingStream extends OutputStream {
        private final OutputStream out;
        long count;

        CountingStream(OutputStream out) {
            this.out = out;
        }

        @Override
        public void write(int b) throws IOException {
            out.write(b);
            count++;
        }

        @Override
        public void write(byte[] b, int off, int len) throws IOException {
            out.write(b, off, len);
            count += len;
        }

        @Override
        public void flush() throws IOException {
            out.flush();
        }

        @Override
        public void close() throws IOException {
            out.close();
        }
    }
}
