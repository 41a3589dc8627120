package vorkel.test;

import vorkel.runtime.agent.oom.HeapDumpTrigger;

import static vorkel.test.Harness.result;

/** Snapshots whose analysis the tests know in advance: field names, retained sizes, roots. */
public final class AnalysisScenarios {
    private AnalysisScenarios() {
    }

    /** An interface with fields, one extending it, and one without: they count in the field indexes. */
    interface Limits {
        int LIMIT = 10;
        Object DEFAULT_LIMIT = new int[7];
    }

    interface Named extends Limits {
        String PREFIX = "named";
    }

    interface Plain {
    }

    static class Base implements Named {
        long baseCount;
        Object baseRef = new short[11];
    }

    static final class Holder extends Base implements Plain, Comparable<Holder> {
        static Object holderStatic = new char[13];
        int size;
        Object first;
        Object second;

        @Override
        public int compareTo(Holder other) {
            return Integer.compare(size, other.size);
        }
    }

    static Holder holder;

    /**
     * A static field holds a Holder retaining 4 MB through an array element; 3 MB more are held only
     * by a local variable of this frame. A snapshot is taken meanwhile.
     */
    public static void fieldsAndRoots(String[] args) {
        Holder kept = new Holder();
        kept.first = new long[3];
        kept.second = new Object[] {null, null, new double[512 * 1024]};
        holder = kept;
        byte[] local = new byte[3 * 1024 * 1024];
        result("interfaces", Limits.DEFAULT_LIMIT != null && Named.PREFIX != null);
        result("taken", HeapDumpTrigger.triggerHeapDump("analysis"));
        result("local", local.length);
    }
}
