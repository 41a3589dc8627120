package vorkel.runtime.agent.transactions;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.HttpURLConnection;
import java.net.Proxy;
import java.net.URL;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.locks.LockSupport;

import vorkel.runtime.agent.bootstrap.Agent;
import vorkel.runtime.agent.bootstrap.AgentLogger;

/**
 * Sends transaction reports to the collector, one POST to "/transaction/report" each, in the order
 * they were made, from a daemon thread of its own so that ending a transaction never waits for the
 * network. At most 1000 reports wait; beyond that new ones are dropped and counted.
 */
final class TransactionReporter {
    static final String PATH = "/transaction/report";
    private static final int MAX_WAITING = 1000;
    private static final int TIMEOUT_MILLIS = 5000;

    private final String host;
    private final int port;
    private final ConcurrentLinkedQueue<String> waiting = new ConcurrentLinkedQueue<>();
    private final AtomicInteger waitingCount = new AtomicInteger();
    private final AtomicLong unfinished = new AtomicLong();
    private final AtomicLong dropped = new AtomicLong();
    private final Thread sender;

    TransactionReporter(String host, int port) {
        this.host = host;
        this.port = port;
        sender = new Thread(new Sender(), "vorkel transaction reporter");
        sender.setDaemon(true);
        sender.start();
    }

    void submit(String json) {
        if (waitingCount.incrementAndGet() > MAX_WAITING) {
            waitingCount.decrementAndGet();
            dropped.incrementAndGet();
            return;
        }
        unfinished.incrementAndGet();
        waiting.add(json);
        LockSupport.unpark(sender);
    }

    boolean awaitIdle(long timeoutMillis) throws InterruptedException {
        long end = System.nanoTime() + timeoutMillis * 1_000_000;
        while (unfinished.get() > 0) {
            if (System.nanoTime() > end) {
                return false;
            }
            Thread.sleep(5);
        }
        return true;
    }

    /** The sender thread's body: a class of its own, since a method reference costs the lambda bootstrap at start. */
    private final class Sender implements Runnable {
        @Override
        public void run() {
            sendAll();
        }
    }

    private void sendAll() {
        for (;;) {
            String json = waiting.poll();
            if (json == null) {
                LockSupport.park(this);
                continue;
            }
            waitingCount.decrementAndGet();
            try {
                post(json);
            } catch (IOException | RuntimeException e) {
                log("Could not send a transaction report to " + host + ":" + port + ": " + e);
            } finally {
                unfinished.decrementAndGet();
            }
        }
    }

    private void post(String json) throws IOException {
        long lost = dropped.getAndSet(0);
        if (lost > 0) {
            log(lost + " transaction reports were dropped: too many were waiting to be sent.");
        }
        byte[] body = json.getBytes(StandardCharsets.UTF_8);
        HttpURLConnection connection = (HttpURLConnection) new URL("http", host, port, PATH)
                .openConnection(Proxy.NO_PROXY);
        try {
            connection.setRequestMethod("POST");
            connection.setConnectTimeout(TIMEOUT_MILLIS);
            connection.setReadTimeout(TIMEOUT_MILLIS);
            connection.setDoOutput(true);
            connection.setFixedLengthStreamingMode(body.length);
            connection.setRequestProperty("Content-Type", "application/json; charset=utf-8");
            try (OutputStream out = connection.getOutputStream()) {
                out.write(body);
            }
            int status = connection.getResponseCode();
            try (InputStream in = status < 400 ? connection.getInputStream() : connection.getErrorStream()) {
                if (in != null) {
                    in.readAllBytes();
                }
            }
            if (status / 100 != 2) {
                log("The collector answered " + status + " to a transaction report.");
            }
        } finally {
            connection.disconnect();
        }
    }

    private static void log(String message) {
        AgentLogger logger = Agent.logger();
        if (logger != null) {
            logger.warn(message);
        }
    }
}
