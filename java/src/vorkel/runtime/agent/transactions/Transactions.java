package vorkel.runtime.agent.transactions;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Callable;

import vorkel.runtime.agent.bootstrap.Agent;
import vorkel.runtime.agent.bootstrap.AgentOptions;
import vorkel.runtime.agent.probes.contention.LockContentionNativeImpl;
import vorkel.runtime.agent.probes.contention.LockContentionSummary;
import vorkel.runtime.agent.probes.contention.LongLockWait;
import vorkel.runtime.agent.probes.ut.natives.UserTransactionNativeImpl;

/**
 * Marks a unit of the application's work (a request, a checkout, a job) as a user transaction:
 *
 * <pre>
 * Transactions.run("checkout", () -&gt; shop.checkout(cart));
 * try (Transaction t = Transactions.begin("checkout")) { ... }
 * </pre>
 *
 * While the transaction runs on its thread, the agent records the thread's long monitor waits
 * (with the thread that held the monitor) and its operation timings. When it ends, a transaction
 * that had a long wait, or that ran longer than the "slowms" option, is reported to the collector.
 * A transaction begun inside another on the same thread is part of the outer one. Virtual threads
 * (JDK 21 and later) are followed like platform threads, each in a record of its own (see
 * docs/transactions.md). Without a started agent the work simply runs.
 */
public final class Transactions {
    /**
     * The started agent's options, read at the first use (the agent's start does not load this
     * class); the contention probe is configured and enabled, and the reporter made, from them at
     * the first transaction, so that a JVM pays for them only when it has transactions.
     */
    private static volatile Requested requested;
    private static volatile Settings settings;

    private Transactions() {
    }

    /** What the agent options ask of transactions (see the README). */
    static final class Settings {
        final UserTransactionNativeImpl natives = new UserTransactionNativeImpl();
        final long contributorThresholdMillis;
        final long slowMillis;
        final TransactionReporter reporter;
        final BlockerDetector detector;
        final String account;
        final String jvm;
        final String session;

        Settings(long contributorThresholdMillis, long slowMillis, TransactionReporter reporter,
                BlockerDetector detector, String account, String jvm, String session) {
            this.contributorThresholdMillis = contributorThresholdMillis;
            this.slowMillis = slowMillis;
            this.reporter = reporter;
            this.detector = detector;
            this.account = account;
            this.jvm = jvm;
            this.session = session;
        }
    }

    /** The agent options of transactions (exclusions: Java class names, "+"-separated, and class#method pairs). */
    private static final class Requested {
        final String host;
        final int port;
        final String account;
        final String jvm;
        final String session;
        final long contributorThresholdMillis;
        final long slowMillis;
        final long detectionIntervalMillis;
        final String excludedLocks;
        final String excludedMethods;

        Requested(String host, int port, String account, String jvm, String session, long contributorThresholdMillis,
                long slowMillis, long detectionIntervalMillis, String excludedLocks, String excludedMethods) {
            this.host = host;
            this.port = port;
            this.account = account;
            this.jvm = jvm;
            this.session = session;
            this.contributorThresholdMillis = contributorThresholdMillis;
            this.slowMillis = slowMillis;
            this.detectionIntervalMillis = detectionIntervalMillis;
            this.excludedLocks = excludedLocks;
            this.excludedMethods = excludedMethods;
        }
    }

    /** What the started agent's options ask; null while no agent started with transactions. */
    private static Requested requested() {
        Requested current = requested;
        if (current != null) {
            return current;
        }
        AgentOptions options = Agent.transactionOptions();
        if (options == null) {
            return null;
        }
        synchronized (Transactions.class) {
            if (requested == null) {
                requested = new Requested(options.get("host", "127.0.0.1"), options.getInt("port", 9),
                        options.get("account", "account"), options.get("jvm", "jvm"), options.get("session", "session"),
                        options.getLong("waitms", 0), options.getLong("slowms", 5000),
                        options.getLong("detectionms", 50), options.get("excludelocks", ""),
                        options.get("excludemethods", ""));
            }
            return requested;
        }
    }

    /** The probes set up as the options ask, once; null without a started agent. */
    private static Settings settings() {
        Settings current = settings;
        if (current != null || requested() == null) {
            return current;
        }
        synchronized (Transactions.class) {
            if (settings == null) {
                Requested r = requested;
                LockContentionNativeImpl contention = new LockContentionNativeImpl();
                if (contention.isSupported()) {
                    contention.configure(signatures(r.excludedLocks), methodPairs(r.excludedMethods),
                            LockContentionSummary.class, LongLockWait.class);
                    contention.setEnabled(true);
                }
                UserTransactionNativeImpl natives = new UserTransactionNativeImpl();
                natives.setMinimumMajorContributorThreshold(r.slowMillis > 0 ? r.slowMillis : -1);
                BlockerDetector detector = r.detectionIntervalMillis > 0
                        ? new BlockerDetector(contention, r.detectionIntervalMillis) : null;
                settings = new Settings(r.contributorThresholdMillis, r.slowMillis,
                        new TransactionReporter(r.host, r.port), detector, r.account, r.jvm, r.session);
            }
            return settings;
        }
    }

    /** Whether transactions are followed (the agent started with them). */
    public static boolean active() {
        return requested() != null;
    }

    /** Begins a transaction on this thread; close it (try-with-resources) to end it. */
    public static Transaction begin(String name) {
        return Transaction.begin(settings(), name);
    }

    public static void run(String name, Runnable body) {
        try (Transaction transaction = begin(name)) {
            try {
                body.run();
            } catch (RuntimeException | Error e) {
                transaction.failed(e);
                throw e;
            }
        }
    }

    public static <T> T call(String name, Callable<T> body) throws Exception {
        try (Transaction transaction = begin(name)) {
            try {
                return body.call();
            } catch (Exception | Error e) {
                transaction.failed(e);
                throw e;
            }
        }
    }

    /** Waits until every report made so far was sent (or failed); false when the time ran out. */
    public static boolean awaitReports(long timeoutMillis) throws InterruptedException {
        Settings current = settings;
        return current == null || current.reporter.awaitIdle(timeoutMillis);
    }

    /** "java.lang.Object+java.util.HashMap" as class signatures. */
    static String[] signatures(String names) {
        List<String> signatures = new ArrayList<>();
        for (String name : split(names)) {
            signatures.add("L" + name.replace('.', '/') + ";");
        }
        return signatures.toArray(new String[0]);
    }

    /** "pkg.Class#method+..." as (class signature, method name) pairs. */
    static String[] methodPairs(String methods) {
        List<String> pairs = new ArrayList<>();
        for (String method : split(methods)) {
            int hash = method.indexOf('#');
            if (hash > 0 && hash < method.length() - 1) {
                pairs.add("L" + method.substring(0, hash).replace('.', '/') + ";");
                pairs.add(method.substring(hash + 1));
            }
        }
        return pairs.toArray(new String[0]);
    }

    private static List<String> split(String text) {
        List<String> parts = new ArrayList<>();
        if (text != null) {
            for (String part : text.split("\\+")) {
                if (!part.trim().isEmpty()) {
                    parts.add(part.trim());
                }
            }
        }
        return parts;
    }
}
