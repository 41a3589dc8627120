import java.lang.management.GarbageCollectorMXBean;
import java.lang.management.ManagementFactory;
import java.util.concurrent.ThreadLocalRandom;

/**
 * Allocates until the young collector has run the given number of times (default 1000), keeping a
 * live set of 32 MB in which random slots are replaced, so that every young collection copies
 * survivors and scans references from old objects to young ones. Run by bench/gc_pause_bench.sh,
 * which reads the pauses from -Xlog:gc. Prints "young N" and, under the agent, "agent_gc_count N".
 */
public final class GcPauseBench {
    static volatile Object sink;

    public static void main(String[] args) throws Exception {
        int target = args.length > 0 ? Integer.parseInt(args[0]) : 1000;
        GarbageCollectorMXBean young = null;
        for (GarbageCollectorMXBean bean : ManagementFactory.getGarbageCollectorMXBeans()) {
            String name = bean.getName();
            if (name.contains("Young") || name.equals("Copy") || name.contains("Scavenge")) {
                young = bean;
            }
        }
        if (young == null) {
            throw new IllegalStateException("no young collector");
        }
        Object[] live = new Object[32 * 1024];
        for (int i = 0; i < live.length; i++) {
            live[i] = new byte[1024];
        }
        long start = young.getCollectionCount();
        ThreadLocalRandom random = ThreadLocalRandom.current();
        while (young.getCollectionCount() - start < target) {
            for (int i = 0; i < 4096; i++) {
                Object[] small = new Object[4];
                small[0] = new byte[random.nextInt(16, 256)];
                sink = small;
                if ((i & 63) == 0) {
                    live[random.nextInt(live.length)] = new byte[1024];
                }
            }
        }
        System.out.println("young " + (young.getCollectionCount() - start));
        try {
            Class<?> counter = Class.forName("vorkel.runtime.agent.collect.GenerationCounterNative");
            System.out.println("agent_gc_count " + counter.getField("gcCount").getInt(null));
        } catch (ClassNotFoundException e) {
            // Run without the agent.
        }
    }
}
