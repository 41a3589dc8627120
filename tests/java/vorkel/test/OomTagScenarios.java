package vorkel.test;

import java.util.ArrayList;
import java.util.List;

import vorkel.runtime.agent.collection.RuntimeStatistic;
import vorkel.runtime.agent.oom.HeapDumpTrigger;

import static vorkel.test.Harness.classBytes;
import static vorkel.test.Harness.result;

/** Statistics tags and class loader tags around a snapshot: what the walk borrows it gives back. */
public final class OomTagScenarios {
    private OomTagScenarios() {
    }

    static long id(long tag) {
        return tag & 0xFFFFFFFFL;
    }

    static long[] tagsOf(List<Object> objects) {
        long[] tags = new long[objects.size()];
        for (int i = 0; i < tags.length; ++i) {
            tags[i] = StatisticsProbe.tagOf(objects.get(i));
        }
        return tags;
    }

    static volatile boolean churning = true;

    /**
     * Follows 3000 instances that stay and 2000 that are dropped after the snapshot, and a class
     * loader known to the tracker; a second thread records and drops instances all the time. Before
     * and after a requested snapshot the tags, counts and the tracker's entry must agree, and the
     * dropped instances must be uncounted afterwards.
     */
    public static void tagsSurvive(String[] args) throws Exception {
        OomScenarios.CopyLoader loader = new OomScenarios.CopyLoader();
        Class<?> copy = loader.define(OomScenarios.Payload.class.getName(), classBytes(OomScenarios.Payload.class));
        Object copied = copy.getDeclaredConstructor().newInstance();
        long loaderTag = StatisticsProbe.tagOf(loader);
        result("loader_tag_is_tracker_tag", (loaderTag & 0xFFF80000L) == 0x180000L);
        long firstSeen = StatisticsProbe.loaderFirstSeen(loaderTag);
        result("loader_tracked", firstSeen != 0);

        List<Object> kept = new ArrayList<>();
        List<Object> dropLater = new ArrayList<>();
        for (int i = 0; i < 3000; ++i) {
            OomScenarios.Payload payload = new OomScenarios.Payload();
            RuntimeStatistic.record(payload, "OomTagScenarios.kept", 40, 1);
            kept.add(payload);
        }
        for (int i = 0; i < 2000; ++i) {
            int[] array = new int[i % 17];
            RuntimeStatistic.record(array, "OomTagScenarios.dropped", 41, 2);
            dropLater.add(array);
        }
        long keptId = id(StatisticsProbe.tagOf(kept.get(0)));
        long droppedId = id(StatisticsProbe.tagOf(dropLater.get(0)));
        result("kept_id", keptId);
        long[] keptTags = tagsOf(kept);
        long[] droppedTags = tagsOf(dropLater);
        long classTag = StatisticsProbe.tagOf(OomScenarios.Payload.class);

        Thread churn = new Thread(() -> {
            while (churning) {
                for (int i = 0; i < 100; ++i) {
                    RuntimeStatistic.record(new OomScenarios.Payload(), "OomTagScenarios.churn", 42, 3);
                }
            }
        }, "churn");
        churn.start();
        Thread.sleep(200);
        System.gc();
        long[] totalsBefore = StatisticsProbe.totals();

        boolean taken = HeapDumpTrigger.triggerHeapDump("tags");
        churning = false;
        churn.join();
        result("taken", taken);
        result("kept_tags_back", java.util.Arrays.equals(keptTags, tagsOf(kept)));
        result("dropped_tags_back", java.util.Arrays.equals(droppedTags, tagsOf(dropLater)));
        result("class_tag_back", classTag == StatisticsProbe.tagOf(OomScenarios.Payload.class));
        result("loader_tag_back", loaderTag == StatisticsProbe.tagOf(loader));
        result("loader_first_seen_back", firstSeen == StatisticsProbe.loaderFirstSeen(loaderTag));
        long[] kept1 = StatisticsProbe.allocation(keptId);
        long[] dropped1 = StatisticsProbe.allocation(droppedId);
        result("kept_live_before_drop", kept1[1]);
        result("dropped_live_before_drop", dropped1[1]);

        // Everything the churn thread recorded is garbage now; with the dropped arrays, all of it is
        // uncounted once the JVM has reported the frees.
        dropLater = null;
        droppedTags = null;
        for (int i = 0; i < 3; ++i) {
            System.gc();
            StatisticsProbe.flushObjectFree();
            Thread.sleep(100);
        }
        long[] kept2 = StatisticsProbe.allocation(keptId);
        long[] dropped2 = StatisticsProbe.allocation(droppedId);
        result("kept_live_after_drop", kept2[1]);
        result("dropped_live_after_drop", dropped2[1]);
        long[] totalsAfter = StatisticsProbe.totals();
        result("live_after_drop", totalsAfter[0]);
        result("live_before_snapshot_at_least", totalsBefore[0] >= 5000);
        result("kept_alive", kept.size() + (copied != null ? 0 : 1));
    }
}
