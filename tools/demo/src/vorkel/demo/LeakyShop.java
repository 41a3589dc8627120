package vorkel.demo;

import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

import vorkel.runtime.agent.collection.RuntimeStatistic;
import vorkel.runtime.agent.oom.HeapDumpTrigger;

/**
 * A small shop application with a leak: every order is kept in a session cache that is never
 * cleared, so with a small heap it runs out of memory after a few seconds. It asks for a snapshot
 * of its own after its first thousand sessions, to compare with the one of the error.
 */
public final class LeakyShop {
    static final class Item {
        final String name;
        final long priceCents;

        Item(String name, long priceCents) {
            this.name = name;
            this.priceCents = priceCents;
        }
    }

    static final class Order {
        final long id;
        final Customer customer;
        final List<Item> items = new ArrayList<>();
        final byte[] receipt;

        Order(long id, Customer customer, int receiptBytes) {
            this.id = id;
            this.customer = customer;
            this.receipt = new byte[receiptBytes];
        }
    }

    static final class Customer {
        final String email;
        final Map<String, String> preferences = new HashMap<>();

        Customer(String email) {
            this.email = email;
        }
    }

    /** Allocation points the shop follows in the agent's statistics (one in a hundred orders). */
    static final int ORDER_POINT = 40;
    static final int CUSTOMER_POINT = 41;
    static final int SESSION_POINT = 42;
    /** Sessions before the shop's own snapshot. */
    static final int SESSIONS_BEFORE_SNAPSHOT = 1000;

    /** The leak: orders of every session, kept forever. */
    static final Map<Long, List<Order>> SESSION_CACHE = new HashMap<>();

    private LeakyShop() {
    }

    public static void main(String[] args) throws InterruptedException {
        // --- Checkouts as user transactions (before the leak) ---
        Checkouts.serve();
        // --- end of checkouts ---
        List<Item> catalogue = new ArrayList<>();
        for (int i = 0; i < 500; i++) {
            catalogue.add(new Item("item-" + i, 100 + i));
        }
        long orders = 0;
        try {
            for (long session = 0;; session++) {
                Customer customer = new Customer("customer" + session + "@example.com");
                if (session % 100 == 0) {
                    RuntimeStatistic.record(customer, "vorkel.demo.LeakyShop.main(LeakyShop.java:customer)",
                            CUSTOMER_POINT, (int) (session / 1000));
                }
                customer.preferences.put("currency", "EUR");
                List<Order> history = new ArrayList<>();
                for (int n = 0; n < 20; n++) {
                    Order order = new Order(++orders, customer, 512);
                    if (orders % 100 == 0) {
                        RuntimeStatistic.record(order, "vorkel.demo.LeakyShop.main(LeakyShop.java:order)", ORDER_POINT,
                                (int) (session / 1000));
                    }
                    for (int k = 0; k < 5; k++) {
                        order.items.add(catalogue.get((int) ((orders * 31 + k) % catalogue.size())));
                    }
                    history.add(order);
                }
                if (session % 100 == 0) {
                    RuntimeStatistic.record(history, "vorkel.demo.LeakyShop.main(LeakyShop.java:session)",
                            SESSION_POINT, (int) (session / 1000));
                }
                SESSION_CACHE.put(session, history);
                if (session == SESSIONS_BEFORE_SNAPSHOT) {
                    System.out.println("LeakyShop took a snapshot after " + session + " sessions: "
                            + HeapDumpTrigger.triggerHeapDump("demo: after " + session + " sessions"));
                }
            }
        } catch (OutOfMemoryError e) {
            int sessions = SESSION_CACHE.size();
            SESSION_CACHE.clear();
            System.out.println("LeakyShop ran out of memory after " + orders + " orders in " + sessions + " sessions: "
                    + e.getMessage());
        }
    }
}
