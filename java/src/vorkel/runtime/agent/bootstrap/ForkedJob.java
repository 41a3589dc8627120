package vorkel.runtime.agent.bootstrap;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetSocketAddress;
import java.net.Proxy;
import java.net.Socket;
import java.net.URLDecoder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.StandardCopyOption;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

import vorkel.runtime.agent.oom.OomDumpNativeImpl;

/**
 * The uploader fork's work: packs snapshot directories into archives and posts them to the collector.
 *
 * <p>The agent starts it as {@code java [jvm arguments] -Xmx256m -DvorkelFork=1 -jar vorkel-agent.jar
 * forked_job MODE DIRECTORY} with VORKEL_HOME set. The JVM arguments carry what the fork needs from the
 * agent's configuration: {@code -Dvorkel.library} (the native library, loaded for compressDump),
 * {@code -Dvorkel.collector.host} and {@code -Dvorkel.collector.port}.
 *
 * <p>Mode "oom": DIRECTORY is one snapshot directory. Mode "all": DIRECTORY is the work directory, and
 * every "oom_*" directory in it that has no archive yet is packed and sent; one that was packed but
 * not delivered is sent again.
 *
 * <p>For each snapshot directory: take its "context.lock" (waiting while the agent still writes, in
 * mode "oom"), pack "oom_info.txt" and "oom_graph.bin" into "&lt;directory name&gt;.tar.bz2" in the
 * directory (written as "&lt;name&gt;.tar.bz2.part" and renamed when complete, so that a broken archive
 * is never taken for a finished one), release the lock, and upload.
 *
 * <p>Upload: one HTTP/1.1 POST to {@code /oom/upload} on the collector. The query carries "directory"
 * (the snapshot directory's name), "archive" (the archive's file name) and every field of the
 * snapshot's "parameters.txt" in its order ("version", "accountId", "jvmId", "sessionId",
 * "description", "timestamp"), URL-encoded like the agent's notifications; the body is the archive,
 * with Content-Type "application/x-bzip2" and its Content-Length. An answer of 200 counts as delivered
 * and is recorded by the file "upload.done" in the snapshot directory. Connecting may take
 * {@code vorkel.fork.connectTimeoutMillis} (10 s); after that the upload gives up as soon as nothing
 * moved for {@code vorkel.fork.readTimeoutMillis} (120 s): a part of the archive the collector does not
 * take, or a status line that has not wholly arrived that long after the archive.
 *
 * <p>A fork that is killed leaves what the next "all" run completes: a half-written
 * "&lt;name&gt;.tar.bz2.part" (the directory is packed again) or an archive without "upload.done"
 * (the archive is sent again).
 *
 * <p>The file "forked_job.started" in DIRECTORY records that the fork ran (mode, VORKEL_HOME and the
 * vorkelFork property).
 */
public final class ForkedJob {
    public static final String UPLOAD_PATH = "/oom/upload";
    public static final String UPLOADED_MARKER = "upload.done";
    static final String STARTED_MARKER = "forked_job.started";
    /** How long mode "oom" waits for the agent to release a snapshot directory. */
    static final long LOCK_WAIT_MILLIS = Long.getLong("vorkel.fork.lockWaitMillis", 120_000L);
    static final long LOCK_RETRY_MILLIS = 1_000L;
    /** How long connecting to the collector may take. */
    static final int CONNECT_TIMEOUT_MILLIS = Integer.getInteger("vorkel.fork.connectTimeoutMillis", 10_000);
    /**
     * How long an upload may go without progress: a part of the archive that the collector does not take,
     * and the collector's status line after the archive, each get at most this long.
     */
    static final long READ_TIMEOUT_MILLIS = Long.getLong("vorkel.fork.readTimeoutMillis", 120_000L);

    private final AgentLogger logger;

    private ForkedJob(AgentLogger logger) {
        this.logger = logger;
    }

    static int run(String mode, File directory) throws IOException {
        if (!directory.isDirectory()) {
            System.err.println("vorkel uploader: " + directory + " is not a directory, nothing is done.");
            return 1;
        }
        String marker = "mode=" + mode + "\nhome=" + System.getenv("VORKEL_HOME") + "\nfork="
                + System.getProperty("vorkelFork") + "\n";
        Files.write(new File(directory, STARTED_MARKER).toPath(), marker.getBytes(StandardCharsets.UTF_8));

        AgentLogger logger = new AgentLogger(Boolean.getBoolean("vorkel.fork.echo"));
        String library = libraryPath();
        try {
            System.load(library);
            new NativeAgentInitialiser().initNativeLogging(logger, "fork");
        } catch (UnsatisfiedLinkError | SecurityException e) {
            System.err.println("vorkel uploader: cannot load the native library " + library + ": " + e);
            return 1;
        }
        ForkedJob job = new ForkedJob(logger);
        switch (mode) {
            case "oom":
                return job.handle(directory, true) ? 0 : 1;
            case "all":
                return job.handleAll(directory) ? 0 : 1;
            default:
                job.error("Unknown uploader mode " + mode + ", nothing is done.");
                return 2;
        }
    }

    /** The library named by -Dvorkel.library, else the installed one under VORKEL_HOME. */
    static String libraryPath() {
        String configured = System.getProperty("vorkel.library");
        if (configured != null && !configured.isEmpty()) {
            return configured;
        }
        String home = System.getenv("VORKEL_HOME");
        File base = home != null ? new File(home) : AgentOptions.jarDirectory().getAbsoluteFile().getParentFile();
        return new File(new File(base, "lib"), System.mapLibraryName("vorkel")).getAbsolutePath();
    }

    private boolean handleAll(File work) {
        File[] entries = work.listFiles();
        if (entries == null) {
            error("Cannot list the work directory " + work + ".");
            return false;
        }
        Arrays.sort(entries);
        boolean allDone = true;
        for (File entry : entries) {
            if (!entry.isDirectory() || !entry.getName().startsWith("oom_")) {
                continue;
            }
            if (new File(entry, UPLOADED_MARKER).exists()) {
                continue;
            }
            if (archiveOf(entry).exists()) {
                allDone &= upload(entry, archiveOf(entry));
                continue;
            }
            if (!new File(entry, "oom_info.txt").exists() && !new File(entry, "oom_graph.bin").exists()) {
                // A snapshot that ended with a fatal error: its files were deleted, there is nothing to send.
                logger.info("Snapshot directory " + entry + " holds no snapshot files, skipped.");
                continue;
            }
            // A directory whose lock is held belongs to a snapshot being written now: its own fork sends it.
            allDone &= handle(entry, false);
        }
        return allDone;
    }

    /** Packs one snapshot directory and sends the archive. */
    private boolean handle(File directory, boolean waitForLock) {
        File archive = archiveOf(directory);
        long handle = lock(new File(directory, "context.lock"), waitForLock);
        if (handle < 0) {
            error("Snapshot directory " + directory + " is locked by its writer, not packed now.");
            return false;
        }
        boolean packed;
        File partial = new File(directory, archive.getName() + ".part");
        try {
            packed = OomDumpNativeImpl.compressDump(new File(directory, "oom_info.txt").getPath(),
                    new File(directory, "oom_graph.bin").getPath(), partial.getPath());
            if (packed) {
                Files.move(partial.toPath(), archive.toPath(), StandardCopyOption.REPLACE_EXISTING,
                        StandardCopyOption.ATOMIC_MOVE);
            }
        } catch (IOException e) {
            error("Could not move the archive " + partial + " into place: " + e);
            packed = false;
        } finally {
            OomDumpNativeImpl.dumpAccessUnlock(handle);
        }
        if (!packed) {
            error("Packing snapshot directory " + directory + " failed, nothing is uploaded.");
            return false;
        }
        return upload(directory, archive);
    }

    private long lock(File lockFile, boolean waitForLock) {
        long deadline = System.currentTimeMillis() + (waitForLock ? LOCK_WAIT_MILLIS : 0);
        while (true) {
            long handle = OomDumpNativeImpl.dumpAccessLock(lockFile.getPath());
            if (handle >= 0 || System.currentTimeMillis() >= deadline) {
                return handle;
            }
            try {
                Thread.sleep(LOCK_RETRY_MILLIS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return -1;
            }
        }
    }

    static File archiveOf(File directory) {
        return new File(directory, directory.getName() + ".tar.bz2");
    }

    private boolean upload(File directory, File archive) {
        String host = System.getProperty("vorkel.collector.host");
        Integer port = Integer.getInteger("vorkel.collector.port");
        if (host == null || host.isEmpty() || port == null || port <= 0 || port > 65535) {
            error("No collector address given (vorkel.collector.host and vorkel.collector.port), " + archive
                    + " is not uploaded.");
            return false;
        }
        StringBuilder query = new StringBuilder();
        query.append("directory=").append(urlEncode(directory.getName()));
        query.append("&archive=").append(urlEncode(archive.getName()));
        for (Map.Entry<String, String> field : readParameters(new File(directory, "parameters.txt")).entrySet()) {
            query.append('&').append(urlEncode(field.getKey())).append('=').append(urlEncode(field.getValue()));
        }
        long length = archive.length();
        byte[] head = ("POST " + UPLOAD_PATH + "?" + query + " HTTP/1.1\r\nHost: " + host + ":" + port
                + "\r\nContent-Type: application/x-bzip2\r\nContent-Length: " + length
                + "\r\nConnection: close\r\n\r\n").getBytes(StandardCharsets.ISO_8859_1);
        String statusLine;
        Watchdog watchdog = null;
        try (Socket socket = new Socket(Proxy.NO_PROXY)) {
            watchdog = new Watchdog(socket);
            socket.connect(new InetSocketAddress(host, port), CONNECT_TIMEOUT_MILLIS);
            OutputStream out = socket.getOutputStream();
            watchdog.extend();
            out.write(head);
            try (InputStream in = Files.newInputStream(archive.toPath())) {
                byte[] buffer = new byte[65536];
                for (int n = in.read(buffer); n > 0; n = in.read(buffer)) {
                    watchdog.extend();
                    out.write(buffer, 0, n);
                }
            }
            out.flush();
            // The whole status line has to arrive within one time-out, however slowly it comes.
            watchdog.extend();
            statusLine = readStatusLine(socket.getInputStream());
        } catch (IOException | IllegalArgumentException e) {
            if (watchdog != null && watchdog.fired()) {
                error("Uploading " + archive + " to " + host + ":" + port + " timed out: nothing moved for "
                        + READ_TIMEOUT_MILLIS + " ms.");
            } else {
                error("Uploading " + archive + " to " + host + ":" + port + " failed: " + e);
            }
            return false;
        } finally {
            if (watchdog != null) {
                watchdog.close();
            }
        }
        int status = statusCode(statusLine);
        if (status != 200) {
            error("The collector answered " + (status > 0 ? String.valueOf(status) : "\"" + statusLine + "\"")
                    + " to the upload of " + archive + ".");
            return false;
        }
        logger.info("Uploaded " + archive + " (" + length + " bytes).");
        try {
            Files.write(new File(directory, UPLOADED_MARKER).toPath(), new byte[0]);
        } catch (IOException e) {
            error("Could not record the upload of " + archive + ": " + e);
        }
        return true;
    }

    /** The answer's first line (at most 255 characters, without its line end); the rest does not matter. */
    static String readStatusLine(InputStream in) throws IOException {
        StringBuilder line = new StringBuilder();
        for (int c = in.read(); c >= 0 && c != '\r' && c != '\n' && line.length() < 255; c = in.read()) {
            line.append(c >= 32 && c < 127 ? (char) c : '?');
        }
        return line.toString();
    }

    /** The status code of "HTTP/1.1 200 OK", or -1 when the line is no HTTP status line. */
    static int statusCode(String statusLine) {
        String[] parts = statusLine.split(" ", 3);
        if (parts.length < 2 || !parts[0].startsWith("HTTP/") || parts[1].length() != 3) {
            return -1;
        }
        try {
            return Integer.parseInt(parts[1]);
        } catch (NumberFormatException e) {
            return -1;
        }
    }

    /**
     * Closes the upload's socket when nothing moved for READ_TIMEOUT_MILLIS since the last
     * {@link #extend}: a blocked write or read then ends with an exception. Socket writes have no
     * time-out of their own, and a read time-out alone would let a collector that sends a byte now
     * and then hold the upload for ever.
     */
    private static final class Watchdog {
        private final Socket socket;
        private long deadline = Long.MAX_VALUE;
        private boolean closed;
        private boolean fired;

        Watchdog(Socket socket) {
            this.socket = socket;
            Thread thread = new Thread(this::watch, "vorkel upload watchdog");
            thread.setDaemon(true);
            thread.start();
        }

        synchronized void extend() {
            deadline = nowMillis() + READ_TIMEOUT_MILLIS;
            notifyAll();
        }

        synchronized boolean fired() {
            return fired;
        }

        synchronized void close() {
            closed = true;
            notifyAll();
        }

        private synchronized void watch() {
            while (!closed) {
                long left = deadline - nowMillis();
                if (left <= 0) {
                    fired = true;
                    try {
                        socket.close();
                    } catch (IOException e) {
                        // Closed already.
                    }
                    return;
                }
                try {
                    wait(left);
                } catch (InterruptedException e) {
                    return;
                }
            }
        }

        private static long nowMillis() {
            return System.nanoTime() / 1_000_000L;
        }
    }

    /** The fields of a "parameters.txt" ("name=value" lines, values URL-encoded), decoded, in order. */
    static Map<String, String> readParameters(File file) {
        Map<String, String> fields = new LinkedHashMap<>();
        List<String> lines;
        try {
            lines = Files.readAllLines(file.toPath(), StandardCharsets.UTF_8);
        } catch (IOException e) {
            return fields;
        }
        for (String line : lines) {
            int equals = line.indexOf('=');
            if (equals <= 0) {
                continue;
            }
            String value;
            try {
                value = URLDecoder.decode(line.substring(equals + 1), StandardCharsets.UTF_8);
            } catch (IllegalArgumentException malformed) {
                value = line.substring(equals + 1);
            }
            fields.put(line.substring(0, equals), value);
        }
        return fields;
    }

    /** URL encoding as the agent's notifications use it: letters, digits and "-_.~()" stay, a space becomes "+". */
    static String urlEncode(String text) {
        StringBuilder out = new StringBuilder();
        for (byte b : text.getBytes(StandardCharsets.UTF_8)) {
            int c = b & 0xff;
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || "-_.~()".indexOf(c) >= 0) {
                out.append((char) c);
            } else if (c == ' ') {
                out.append('+');
            } else {
                out.append('%').append(Character.forDigit(c >> 4, 16)).append(Character.forDigit(c & 15, 16));
            }
        }
        return out.toString();
    }

    private void error(String message) {
        logger.error(message);
        System.err.println("vorkel uploader: " + message);
    }
}
