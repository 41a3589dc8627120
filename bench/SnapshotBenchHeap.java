import java.io.File;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

import vorkel.runtime.agent.oom.HeapDumpTrigger;

/**
 * The heap of the snapshot benchmark: about three million live objects of mixed shapes (linked
 * nodes, strings with their arrays, map entries with boxed keys, primitive and reference arrays).
 * Takes requested snapshots on demand (see main) until the file named by args[0] appears. An
 * optional args[1] multiplies every count (10: about thirty million objects).
 */
public final class SnapshotBenchHeap {
    static final class Node {
        Node left;
        Node right;
        long value;
        Object payload;
    }

    static Object keep;

    public static void main(String[] args) throws Exception {
        int scale = args.length > 1 ? Integer.parseInt(args[1]) : 1;
        List<Object> roots = new ArrayList<>();
        // 1,000,000 nodes in a binary tree-like mesh.
        Node[] nodes = new Node[1_000_000 * scale];
        for (int i = 0; i < nodes.length; ++i) {
            nodes[i] = new Node();
            nodes[i].value = i;
            if (i > 0) {
                Node parent = nodes[(i - 1) / 2];
                if (parent.left == null) {
                    parent.left = nodes[i];
                } else {
                    parent.right = nodes[i];
                }
            }
        }
        roots.add(nodes[0]);
        // 400,000 strings (800,000 objects with their byte arrays), hung off every other node.
        for (int i = 0; i < 400_000 * scale; ++i) {
            nodes[i * 2].payload = "string number " + i;
        }
        // A map of 250,000 entries: entries, Integer keys and Long values (750,000 objects).
        Map<Integer, Long> map = new HashMap<>();
        for (int i = 0; i < 250_000 * scale; ++i) {
            map.put(i + 1000, (long) i * 7 + 100_000);
        }
        roots.add(map);
        // 300,000 primitive arrays of varying length and 100,000 reference arrays.
        Object[] arrays = new Object[400_000 * scale];
        for (int i = 0; i < 300_000 * scale; ++i) {
            arrays[i] = (i % 3 == 0) ? new int[i % 40] : (i % 3 == 1) ? new byte[i % 300] : new long[i % 9];
        }
        for (int i = 300_000 * scale; i < 400_000 * scale; ++i) {
            Object[] refs = new Object[i % 12];
            for (int j = 0; j < refs.length; ++j) {
                refs[j] = nodes[(i * 7 + j) % nodes.length];
            }
            arrays[i] = refs;
        }
        roots.add(arrays);
        nodes = null;
        keep = roots;
        System.gc();
        System.out.println("ready");
        // Snapshot N is taken when the file args[0].N appears; the file args[0] ends the program.
        File stop = new File(args[0]);
        for (int round = 1; !stop.exists(); ) {
            if (new File(args[0] + "." + round).exists()) {
                long start = System.nanoTime();
                boolean taken = HeapDumpTrigger.triggerHeapDump("benchmark " + round);
                System.out.println("snapshot " + round + " " + taken + " " + (System.nanoTime() - start) / 1_000_000 + " ms");
                ++round;
            }
            Thread.sleep(50);
        }
        System.out.println("stopped " + (keep != null));
    }
}
