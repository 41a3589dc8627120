package vorkel.demo;

import java.util.concurrent.CountDownLatch;

import vorkel.runtime.agent.transactions.Transactions;

/**
 * The shop's checkouts, served as user transactions by a till thread. During the second one a
 * restocking thread holds the inventory's lock for about 150 ms, so that checkout waits for it and
 * is reported to the collector with the restocker as the blocker.
 */
final class Checkouts {
    static final class Inventory {
        int stock = 100;
    }

    private Checkouts() {
    }

    static void takeFromStock(Inventory inventory, int items) {
        synchronized (inventory) {
            inventory.stock -= items;
        }
    }

    static void restock(Inventory inventory, CountDownLatch holding) {
        synchronized (inventory) {
            holding.countDown();
            try {
                Thread.sleep(150);  // counting the delivery
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            inventory.stock += 50;
        }
    }

    static void serve() throws InterruptedException {
        // --- File streams ---
        ShopFiles.prepare();
        // --- end of file streams ---
        Inventory inventory = new Inventory();
        long[] waited = new long[1];
        Thread till = new Thread(() -> {
            for (int checkout = 1; checkout <= 3; checkout++) {
                if (checkout == 2) {
                    CountDownLatch holding = new CountDownLatch(1);
                    new Thread(() -> restock(inventory, holding), "restocker").start();
                    try {
                        holding.await();
                    } catch (InterruptedException e) {
                        return;
                    }
                }
                long start = System.nanoTime();
                int number = checkout;
                Transactions.run("checkout", () -> {
                    // --- File streams: the checkout reads the catalogue and appends to the order log ---
                    ShopFiles.checkout(number, 2);
                    // --- end of file streams ---
                    takeFromStock(inventory, 2);
                });
                if (checkout == 2) {
                    waited[0] = (System.nanoTime() - start) / 1_000_000;
                }
            }
        }, "till-1");
        till.start();
        till.join();
        boolean sent = Transactions.awaitReports(10000);
        System.out.println("Checkouts: 3 served by till-1, the second waited " + waited[0]
                + " ms for the restocker; reports " + (sent ? "sent" : "not all sent") + ", stock " + inventory.stock);
        // --- File streams ---
        System.out.println(ShopFiles.summary());
        // --- end of file streams ---
    }
}
