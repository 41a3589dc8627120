package vorkel.test;

import java.io.File;
import java.io.FileInputStream;
import java.util.HashMap;
import java.util.Map;

import vorkel.runtime.agent.transactions.Transactions;

import static vorkel.test.Harness.result;

/** A program started without any agent, into which the test loads it with vorkel. */
public final class AttachScenarios {
    /** What leaks: the map a snapshot must name first. */
    static final Map<Integer, byte[]> LEAK = new HashMap<>();

    private AttachScenarios() {
    }

    /**
     * args (after the scenario's name): a control directory and a data file. Fills the leak and reads from a stream of the data
     * file before any agent is there, then waits for the file "attached" in the control directory;
     * then, in one transaction, waits for a lock that another thread holds and reads on from the
     * stream opened before, and waits for "done".
     */
    public static void leaky(String[] args) throws Exception {
        File control = new File(args[1]);
        for (int i = 0; i < 3000; i++) {
            LEAK.put(i, new byte[8192]);
        }
        byte[] buffer = new byte[64];
        try (FileInputStream stream = new FileInputStream(args[2])) {
            result("read_before", stream.read(buffer));
            result("ready", true);
            awaitFile(new File(control, "attached"));
            result("active", Transactions.active());
            Object lock = new TransactionScenarios.Inventory();
            Transactions.run("checkout", () -> {
                try {
                    TransactionScenarios.contend(lock, 600, false);
                    result("read_after", stream.read(buffer));
                } catch (Exception e) {
                    throw new IllegalStateException(e);
                }
            });
            result("sent", Transactions.awaitReports(20000));
        }
        awaitFile(new File(control, "done"));
        result("leak", LEAK.size());
    }

    static void awaitFile(File file) throws InterruptedException {
        for (int i = 0; i < 2400 && !file.exists(); i++) {
            Thread.sleep(50);
        }
    }
}
