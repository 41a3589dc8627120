package vorkel.test;

import java.lang.ref.WeakReference;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.TreeSet;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicReference;

import vorkel.runtime.agent.collection.RuntimeStatistic;

import static vorkel.test.Harness.result;
import static vorkel.test.Harness.testJar;

/** In-JVM halves of the allocation statistics tests. */
public final class StatisticsScenarios {
    private StatisticsScenarios() {
    }

    static final int ARRAY_NONE = RuntimeStatistic.NOT_AN_ARRAY;
    static final int MAX_ROUNDS = 100;

    /** A class of its own for each scenario, so that every scenario starts with untagged classes. */
    static final class Widget {
        final int value;

        Widget(int value) {
            this.value = value;
        }
    }

    static final class Gadget {
    }

    /** The allocation id of a tag as the statistics key it: the low word read as a signed number. */
    static long id(long tag) {
        return (int) tag;
    }

    static long key(long tag) {
        return tag & ~0xFFF00000000L;
    }

    static long live(long tag) {
        long[] allocation = StatisticsProbe.allocation(id(tag));
        return allocation == null ? -1 : allocation[1];
    }

    static long record(Object instance, Class<?> type, int point, int generation) {
        return RuntimeStatistic.addInstanceRealInternal(instance, type, type.getName(), "birthplace of " + point,
                point, 0, generation, 0, ARRAY_NONE);
    }

    /** Collection rounds with the statistics' ObjectFree events flushed, until the condition holds. */
    static int collectUntil(java.util.function.BooleanSupplier condition) {
        return Harness.collectUntil(MAX_ROUNDS, StatisticsProbe::flushObjectFree, condition);
    }

    /** One more collection and flush; the condition must still hold (nothing freed twice). */
    static boolean stillAfterCollection(java.util.function.BooleanSupplier condition) {
        System.gc();
        StatisticsProbe.flushObjectFree();
        return condition.getAsBoolean();
    }

    // ------------------------------------------------------------------------------------------
    // Several threads at once, then collection

    static final int THREADS = 4;
    static final int WIDGETS_PER_THREAD = 3000;
    static final int ARRAYS_PER_THREAD = 200;
    static final int WIDGET_POINT = 40;
    static final int[] ARRAY_POINTS = {41, 42, 43, 44};
    static final int[] ARRAY_TYPES = {RuntimeStatistic.ARRAY_INT, RuntimeStatistic.ARRAY_REFERENCE,
        RuntimeStatistic.ARRAY_LONG, RuntimeStatistic.ARRAY_BYTE};

    static Object newArray(int kind, int length) {
        switch (kind) {
            case 0:
                return new int[length];
            case 1:
                return new Object[length];
            case 2:
                return new long[length];
            default:
                return new byte[length];
        }
    }

    static final class Recorder extends Thread {
        final int number;
        final CountDownLatch start;
        final List<Object> widgets = new ArrayList<>();
        final List<Long> widgetTags = new ArrayList<>();
        final List<Object> arrays = new ArrayList<>();
        final List<Long> arrayTags = new ArrayList<>();
        final List<Integer> arrayKinds = new ArrayList<>();

        Recorder(int number, CountDownLatch start) {
            this.number = number;
            this.start = start;
        }

        @Override
        public void run() {
            try {
                start.await();
            } catch (InterruptedException e) {
                return;
            }
            for (int j = 0; j < WIDGETS_PER_THREAD; j++) {
                Widget widget = new Widget(j);
                widgets.add(widget);
                widgetTags.add(RuntimeStatistic.addInstanceRealInternal(widget, Widget.class, Widget.class.getName(),
                        "StatisticsScenarios.Recorder.run:1", WIDGET_POINT, 0, j % 3, 0, ARRAY_NONE));
                if (j < ARRAYS_PER_THREAD * ARRAY_TYPES.length) {
                    int kind = j % ARRAY_TYPES.length;
                    Object array = newArray(kind, (j * 7 + number) % 41);
                    arrays.add(array);
                    arrayKinds.add(kind);
                    arrayTags.add(RuntimeStatistic.addInstanceRealInternal(array, array.getClass(),
                            array.getClass().getName(), "StatisticsScenarios.Recorder.run:2", ARRAY_POINTS[kind], 0,
                            7, java.lang.reflect.Array.getLength(array), ARRAY_TYPES[kind]));
                }
            }
        }
    }

    /** The sequence numbers of each generation key are exactly 1..n. */
    static boolean sequencesComplete(Map<Long, TreeSet<Integer>> sequences, Map<Long, Integer> counts) {
        for (Map.Entry<Long, TreeSet<Integer>> entry : sequences.entrySet()) {
            TreeSet<Integer> seen = entry.getValue();
            int n = counts.get(entry.getKey());
            if (seen.size() != n || seen.first() != 1 || seen.last() != n) {
                return false;
            }
        }
        return true;
    }

    public static void concurrent(String[] args) throws Exception {
        RuntimeStatistic.initialiseLocks();
        long[] before = StatisticsProbe.totals();
        CountDownLatch start = new CountDownLatch(1);
        List<Recorder> recorders = new ArrayList<>();
        for (int i = 0; i < THREADS; i++) {
            Recorder recorder = new Recorder(i, start);
            recorders.add(recorder);
            recorder.start();
        }
        start.countDown();
        for (Recorder recorder : recorders) {
            recorder.join();
        }

        int refused = 0;
        long widgetClassIndex = StatisticsProbe.tagOf(Widget.class);
        boolean oneClassIndex = widgetClassIndex > 0 && widgetClassIndex < 0x80000;
        Map<Long, TreeSet<Integer>> sequences = new HashMap<>();
        Map<Long, Integer> keyCounts = new HashMap<>();
        Map<Long, Long> arrayBytes = new HashMap<>();
        boolean tagsOnObjects = true;
        long widgetTag = 0;
        long[] arrayTagOfKind = new long[ARRAY_TYPES.length];
        for (Recorder recorder : recorders) {
            for (int j = 0; j < recorder.widgetTags.size(); j++) {
                long tag = recorder.widgetTags.get(j);
                if (tag == -1) {
                    refused++;
                    continue;
                }
                widgetTag = tag;
                oneClassIndex &= RuntimeStatistic.classIndex(tag) == widgetClassIndex;
                tagsOnObjects &= StatisticsProbe.tagOf(recorder.widgets.get(j)) == tag
                        && RuntimeStatistic.allocationPoint(tag) == WIDGET_POINT
                        && RuntimeStatistic.generation(tag) == j % 3;
                sequences.computeIfAbsent(key(tag), k -> new TreeSet<>()).add(RuntimeStatistic.sequence(tag));
                keyCounts.merge(key(tag), 1, Integer::sum);
            }
            for (int j = 0; j < recorder.arrayTags.size(); j++) {
                long tag = recorder.arrayTags.get(j);
                if (tag == -1) {
                    refused++;
                    continue;
                }
                Object array = recorder.arrays.get(j);
                arrayTagOfKind[recorder.arrayKinds.get(j)] = tag;
                tagsOnObjects &= StatisticsProbe.tagOf(array) == tag
                        && RuntimeStatistic.classIndex(tag) == StatisticsProbe.tagOf(array.getClass());
                sequences.computeIfAbsent(key(tag), k -> new TreeSet<>()).add(RuntimeStatistic.sequence(tag));
                keyCounts.merge(key(tag), 1, Integer::sum);
                arrayBytes.merge(key(tag), StatisticsProbe.objectSize(array), Long::sum);
            }
        }
        result("refused", refused);
        result("one_class_index", oneClassIndex);
        result("tags_on_objects", tagsOnObjects);
        result("sequences_complete", sequencesComplete(sequences, keyCounts));

        int widgets = THREADS * WIDGETS_PER_THREAD;
        int arrays = THREADS * ARRAYS_PER_THREAD * ARRAY_TYPES.length;
        long[] after = StatisticsProbe.totals();
        result("live_added", after[0] - before[0]);
        result("total_added", after[1] - before[1]);
        result("expected_added", widgets + arrays);
        long[] widgetAllocation = StatisticsProbe.allocation(id(widgetTag));
        result("widget_total", widgetAllocation[0]);
        result("widget_live", widgetAllocation[1]);
        result("widget_live_generations", widgetAllocation[3]);
        result("widget_array_type", widgetAllocation[4]);
        boolean generationsExact = true;
        for (Map.Entry<Long, Integer> entry : keyCounts.entrySet()) {
            long[] generation = StatisticsProbe.generation(entry.getKey());
            int n = entry.getValue();
            generationsExact &= generation != null && generation[0] == n && generation[1] == n && generation[2] == n;
        }
        result("generations_exact", generationsExact);
        // The estimated array bytes are what the JVM reports for the same arrays.
        boolean arrayBytesMatch = true;
        for (int kind = 0; kind < ARRAY_TYPES.length; kind++) {
            long key = key(arrayTagOfKind[kind]);
            long[] generation = StatisticsProbe.generation(key);
            arrayBytesMatch &= generation != null && generation[3] == arrayBytes.get(key);
            if (generation == null || generation[3] != arrayBytes.get(key)) {
                result("array_bytes_" + kind, (generation == null ? "none" : generation[3]) + "/" + arrayBytes.get(key));
            }
        }
        result("array_bytes_match", arrayBytesMatch);
        long[] widgetKey0 = StatisticsProbe.generation(key(widgetTag) & ~(0xFFFFFL << 44));
        result("widget_generation0_array_bytes", widgetKey0 == null ? "none" : widgetKey0[3]);

        // Every other widget becomes unreachable, and every long array.
        Map<Long, Integer> keptPerKey = new HashMap<>();
        int keptWidgets = 0;
        for (Recorder recorder : recorders) {
            for (int j = 0; j < recorder.widgets.size(); j++) {
                if (j % 2 == 1) {
                    recorder.widgets.set(j, null);
                } else {
                    keptWidgets++;
                    keptPerKey.merge(key(recorder.widgetTags.get(j)), 1, Integer::sum);
                }
            }
            for (int j = 0; j < recorder.arrays.size(); j++) {
                if (recorder.arrayKinds.get(j) == 2) {
                    recorder.arrays.set(j, null);
                }
            }
        }
        final long widgetId = id(widgetTag);
        final long expectedLive = keptWidgets;
        int rounds = collectUntil(() -> live(widgetId) == expectedLive
                && StatisticsProbe.generation(key(arrayTagOfKind[2])) == null);
        result("half_rounds", rounds);
        result("half_collected", rounds > 0);
        result("half_stays", stillAfterCollection(() -> live(widgetId) == expectedLive));
        result("widget_live_after_half", live(widgetId));
        result("widget_expected_after_half", keptWidgets);
        result("widget_total_after_half", StatisticsProbe.allocation(widgetId)[0]);
        boolean keptExact = true;
        for (Map.Entry<Long, Integer> entry : keptPerKey.entrySet()) {
            long[] generation = StatisticsProbe.generation(entry.getKey());
            keptExact &= generation != null && generation[0] == entry.getValue()
                    && generation[1] == keyCounts.get(entry.getKey());
        }
        result("kept_per_generation_exact", keptExact);
        long[] longArrays = StatisticsProbe.allocation(id(arrayTagOfKind[2]));
        result("long_arrays_gone", longArrays[1] == 0 && longArrays[3] == 0
                && longArrays[0] == THREADS * ARRAYS_PER_THREAD);
        long[] middle = StatisticsProbe.totals();
        result("live_after_half", middle[0] - before[0]);
        result("expected_after_half", keptWidgets + arrays - THREADS * ARRAYS_PER_THREAD);

        // Everything goes.
        for (Recorder recorder : recorders) {
            recorder.widgets.clear();
            recorder.arrays.clear();
        }
        int allRounds = collectUntil(() -> StatisticsProbe.totals()[0] == before[0]);
        result("all_collected", allRounds > 0);
        result("all_stays", stillAfterCollection(() -> StatisticsProbe.totals()[0] == before[0]));
        boolean recordsGone = true;
        for (Long key : keyCounts.keySet()) {
            recordsGone &= StatisticsProbe.generation(key) == null;
        }
        result("generation_records_gone", recordsGone);
        long[] widgetEnd = StatisticsProbe.allocation(widgetId);
        result("widget_end", widgetEnd[0] + "/" + widgetEnd[1] + "/" + widgetEnd[3]);
        result("total_kept", StatisticsProbe.totals()[1] - before[1]);

        // A new instance under a key whose record went starts again at sequence 1.
        Widget again = new Widget(1);
        long againTag = RuntimeStatistic.addInstanceRealInternal(again, Widget.class, Widget.class.getName(),
                "StatisticsScenarios.concurrent", WIDGET_POINT, 0, 0, 0, ARRAY_NONE);
        result("restart_sequence", RuntimeStatistic.sequence(againTag));
        result("restart_same_key", key(againTag) == (key(widgetTag) & ~(0xFFFFFL << 44)));
        result("restart_object_tagged", StatisticsProbe.tagOf(again) == againTag);
    }

    // ------------------------------------------------------------------------------------------
    // Instance size after 30 live generations

    public static void instanceSize(String[] args) {
        List<Gadget> gadgets = new ArrayList<>();
        long tag = 0;
        long sizeAt29 = 0;
        for (int generation = 0; generation < 30; generation++) {
            Gadget gadget = new Gadget();
            gadgets.add(gadget);
            tag = record(gadget, Gadget.class, 45, generation);
            if (generation == 28) {
                sizeAt29 = StatisticsProbe.allocation(id(tag))[2];
            }
        }
        long[] allocation = StatisticsProbe.allocation(id(tag));
        result("live_generations", allocation[3]);
        result("size_before_30", sizeAt29);
        result("size_matches", allocation[2] == StatisticsProbe.objectSize(gadgets.get(0)) && allocation[2] > 0);
    }

    // ------------------------------------------------------------------------------------------
    // The limit of 4095 instances per generation key

    static final class Limited {
    }

    static List<Limited> fill(int point, int generation, int count, List<Long> tags) {
        List<Limited> objects = new ArrayList<>();
        for (int i = 0; i < count; i++) {
            Limited object = new Limited();
            objects.add(object);
            tags.add(record(object, Limited.class, point, generation));
        }
        return objects;
    }

    public static void limit(String[] args) {
        List<Long> tags = new ArrayList<>();
        List<Limited> objects = fill(50, 5, 4095, tags);
        TreeSet<Integer> sequences = new TreeSet<>();
        for (long tag : tags) {
            if (tag != -1) {
                sequences.add(RuntimeStatistic.sequence(tag));
            }
        }
        result("accepted", sequences.size());
        result("sequence_range", sequences.first() + "-" + sequences.last());
        long full = key(tags.get(0));
        long[] totalsBefore = StatisticsProbe.totals();

        Limited refused = new Limited();
        result("over_limit", record(refused, Limited.class, 50, 5));
        // 0x100005 keeps the low 20 bits: the same generation key.
        result("over_limit_wrapped_generation", record(refused, Limited.class, 50, 0x100005));
        result("refused_untagged", StatisticsProbe.tagOf(refused));
        long[] totalsAfter = StatisticsProbe.totals();
        result("refusal_uncounted", totalsAfter[0] == totalsBefore[0] && totalsAfter[1] == totalsBefore[1]);
        result("full_generation", Arrays.toString(StatisticsProbe.generation(full)));

        Limited other = new Limited();
        long otherTag = record(other, Limited.class, 50, 6);
        result("other_generation_sequence", RuntimeStatistic.sequence(otherTag));

        // All but one freed: still refused while one of them lives.
        Limited last = objects.get(objects.size() - 1);
        objects.clear();
        int rounds = collectUntil(() -> {
            long[] generation = StatisticsProbe.generation(full);
            return generation != null && generation[0] == 1;
        });
        result("all_but_one_collected", rounds > 0);
        result("still_refused", record(new Limited(), Limited.class, 50, 5));

        // The last one goes: the record is removed and the key starts again.
        WeakReference<Limited> weak = new WeakReference<>(last);
        last = null;
        int lastRounds = collectUntil(() -> StatisticsProbe.generation(full) == null && weak.get() == null);
        result("last_collected", lastRounds > 0);
        Limited fresh = new Limited();
        long freshTag = record(fresh, Limited.class, 50, 5);
        result("fresh_sequence", RuntimeStatistic.sequence(freshTag));
        result("fresh_generation", Arrays.toString(StatisticsProbe.generation(full)));
        result("other_alive", StatisticsProbe.tagOf(other) == otherTag);
    }

    // ------------------------------------------------------------------------------------------
    // Allocation points of 4096 and more

    static final class HighPoint {
    }

    static boolean listed(long id) {
        for (long listedId : StatisticsProbe.allocationIds()) {
            if (listedId == id) {
                return true;
            }
        }
        return false;
    }

    static String text(byte[] bytes) {
        return bytes == null ? "null" : new String(bytes, StandardCharsets.UTF_8);
    }

    public static void highPoints(String[] args) {
        HighPoint high = new HighPoint();
        long tag = RuntimeStatistic.addInstanceRealInternal(high, HighPoint.class, "high.Point", "born high",
                4096 + 40, 0, 3, 0, ARRAY_NONE);
        long id = id(tag);
        result("tagged", tag != -1 && StatisticsProbe.tagOf(high) == tag);
        result("id_negative", id < 0);
        result("id_hex", String.format("0x%08x", tag & 0xFFFFFFFFL));
        result("listed_negative", listed(id) && !listed(tag & 0xFFFFFFFFL));
        result("name_by_id", text(StatisticsProbe.classNameBytes(id)));
        result("birthplace_by_id", text(StatisticsProbe.birthplaceBytes(id)));
        // The unsigned form of the id names the same record.
        result("name_by_unsigned_id", text(StatisticsProbe.classNameBytes(tag & 0xFFFFFFFFL)));
        result("unknown_name", text(StatisticsProbe.classNameBytes(0x7FF00001L)));

        // Only 13 bits of the point are kept: 8192 + 40 is point 40.
        HighPoint wrapped = new HighPoint();
        long wrappedTag = RuntimeStatistic.addInstanceRealInternal(wrapped, HighPoint.class, "wrapped.Point",
                "born wrapped", 8192 + 40, 0, 3, 0, ARRAY_NONE);
        result("wrapped_point", RuntimeStatistic.allocationPoint(wrappedTag));

        WeakReference<HighPoint> weak = new WeakReference<>(high);
        high = null;
        int rounds = collectUntil(() -> weak.get() == null && live(id) == 0);
        result("negative_id_freed", rounds > 0);
        result("negative_id_total", StatisticsProbe.allocation(id)[0]);
        result("wrapped_alive", StatisticsProbe.tagOf(wrapped) == wrappedTag);
    }

    // ------------------------------------------------------------------------------------------
    // Cut names and birthplaces

    static String repeat(char c, int count) {
        char[] chars = new char[count];
        Arrays.fill(chars, c);
        return new String(chars);
    }

    public static void texts(String[] args) {
        long[] before = StatisticsProbe.totals();
        Object first = new Object();
        long tag = RuntimeStatistic.addInstanceRealInternal(first, Object.class, repeat('N', 1500), repeat('B', 3000),
                90, 0, 1, 0, ARRAY_NONE);
        byte[] name = StatisticsProbe.classNameBytes(id(tag));
        byte[] birthplace = StatisticsProbe.birthplaceBytes(id(tag));
        result("name_length", name.length);
        result("birthplace_length", birthplace.length);
        result("name_prefix", text(name).equals(repeat('N', 1023)));
        result("birthplace_prefix", text(birthplace).equals(repeat('B', 2047)));
        result("string_bytes_added", StatisticsProbe.totals()[2] - before[2]);

        // Exactly fitting texts are kept whole.
        Object exact = new Object();
        long exactTag = RuntimeStatistic.addInstanceRealInternal(exact, Object.class, repeat('n', 1023),
                repeat('b', 2047), 91, 0, 1, 0, ARRAY_NONE);
        result("exact_lengths", StatisticsProbe.classNameBytes(id(exactTag)).length + "/"
                + StatisticsProbe.birthplaceBytes(id(exactTag)).length);

        // A cut never leaves half a character: the two-byte character at bytes 1022-1023 and the
        // three-byte one at 2046-2048 are dropped whole.
        Object wide = new Object();
        long wideTag = RuntimeStatistic.addInstanceRealInternal(wide, Object.class, repeat('a', 1022) + "\u00e9z",
                repeat('b', 2046) + "\u20ac", 92, 0, 1, 0, ARRAY_NONE);
        result("wide_name", StatisticsProbe.classNameBytes(id(wideTag)).length);
        result("wide_birthplace", StatisticsProbe.birthplaceBytes(id(wideTag)).length);
        Object fits = new Object();
        long fitsTag = RuntimeStatistic.addInstanceRealInternal(fits, Object.class, repeat('a', 1021) + "\u00e9z",
                "\u20ac\u20ac", 93, 0, 1, 0, ARRAY_NONE);
        result("fitting_wide_name", text(StatisticsProbe.classNameBytes(id(fitsTag))).equals(repeat('a', 1021) + "\u00e9"));
        result("fitting_wide_birthplace", text(StatisticsProbe.birthplaceBytes(id(fitsTag))));

        // The first texts of an allocation id stay.
        Object second = new Object();
        RuntimeStatistic.addInstanceRealInternal(second, Object.class, "other name", "other place", 90, 0, 1, 0,
                ARRAY_NONE);
        result("first_texts_kept", text(StatisticsProbe.classNameBytes(id(tag))).equals(repeat('N', 1023)));
        result("alive", first != null && exact != null && wide != null && fits != null && second != null);
    }

    // ------------------------------------------------------------------------------------------
    // A tracked class loader becomes a followed instance

    public static void classLoader(String[] args) throws Exception {
        result("is_classloader_url", StatisticsProbe.isClassloader(URLClassLoader.class));
        result("is_classloader_base", StatisticsProbe.isClassloader(ClassLoader.class));
        result("is_classloader_string", StatisticsProbe.isClassloader(String.class));
        result("is_classloader_null", StatisticsProbe.isClassloader(null));

        URLClassLoader loader = new URLClassLoader(new URL[] {testJar()}, null);
        Class<?> loaded = Class.forName("vorkel.test.CustomLoaded", true, loader);
        long trackerTag = StatisticsProbe.tagOf(loader);
        long firstSeen = StatisticsProbe.loaderFirstSeen(trackerTag);
        result("tracker_kind", (trackerTag & 0xFFFFFFFFL) >>> 19);
        result("tracked_before", firstSeen != 0);

        long tag = RuntimeStatistic.addInstanceRealInternal(loader, URLClassLoader.class, "java.net.URLClassLoader",
                "StatisticsScenarios.classLoader", 60, 0, 1, 0, ARRAY_NONE);
        result("statistics_tag_on_loader", tag != -1 && StatisticsProbe.tagOf(loader) == tag);
        result("old_entry_gone", StatisticsProbe.loaderFirstSeen(trackerTag) == 0);
        result("entry_moved", StatisticsProbe.loaderFirstSeen(tag) == firstSeen);
        result("allocation_is_classloader", StatisticsProbe.allocation(id(tag))[5]);

        // Further classes of the loader keep the statistics tag as its key.
        Class<?> second = Class.forName("vorkel.test.CustomLoaded$Second", true, loader);
        result("key_kept", StatisticsProbe.tagOf(loader) == tag && StatisticsProbe.loaderFirstSeen(tag) == firstSeen);

        // A loader that defined nothing is followed too; it has no tracker entry to move.
        URLClassLoader idle = new URLClassLoader(new URL[0], null);
        long idleTag = RuntimeStatistic.addInstanceRealInternal(idle, URLClassLoader.class, "java.net.URLClassLoader",
                "StatisticsScenarios.classLoader", 60, 0, 1, 0, ARRAY_NONE);
        result("idle_tagged", idleTag != -1 && StatisticsProbe.loaderFirstSeen(idleTag) == 0);

        WeakReference<ClassLoader> weak = new WeakReference<>(loader);
        loader.close();
        loader = null;
        loaded = null;
        second = null;
        idle = null;
        final long id = id(tag);
        int rounds = collectUntil(() -> weak.get() == null && live(id) == 0 && StatisticsProbe.loaderFirstSeen(tag) == 0);
        result("loader_rounds", rounds);
        result("loader_forgotten", rounds > 0);
        result("loader_total", StatisticsProbe.allocation(id)[0]);
    }

    // ------------------------------------------------------------------------------------------
    // While a snapshot has classes under temporary tags

    static final class Hidden {
    }

    static final class HiddenUntagged {
    }

    public static void underSnapshot(String[] args) {
        long tag = record(new Hidden(), Hidden.class, 95, 1);
        long index = StatisticsProbe.tagOf(Hidden.class);
        // The snapshot's class listing gives the class a temporary tag and keeps its index in the backup.
        long temporary = TagThreadProbe.hideUnderTemporaryTag(Hidden.class);
        result("class_hidden", temporary != 0 && StatisticsProbe.tagOf(Hidden.class) == temporary);
        Hidden during = new Hidden();
        long duringTag = record(during, Hidden.class, 95, 1);
        result("index_through_backup", RuntimeStatistic.classIndex(duringTag) == index
                && RuntimeStatistic.classIndex(tag) == index);
        result("same_allocation", id(duringTag) == id(tag));
        // A class that had no index before the snapshot gets none while the temporary tag is on it.
        long untagged = TagThreadProbe.hideUnderTemporaryTag(HiddenUntagged.class);
        result("untagged_refused", record(new HiddenUntagged(), HiddenUntagged.class, 96, 1));
        result("temporary_tag_kept", StatisticsProbe.tagOf(HiddenUntagged.class) == untagged);
        TagThreadProbe.dropBackup();
    }

    // ------------------------------------------------------------------------------------------
    // Array calibration

    static long[] sizes(int length) {
        return new long[] {
            StatisticsProbe.objectSize(new boolean[length]), StatisticsProbe.objectSize(new char[length]),
            StatisticsProbe.objectSize(new float[length]), StatisticsProbe.objectSize(new double[length]),
            StatisticsProbe.objectSize(new byte[length]), StatisticsProbe.objectSize(new short[length]),
            StatisticsProbe.objectSize(new int[length]), StatisticsProbe.objectSize(new long[length]),
        };
    }

    public static void calibration(String[] args) {
        // The agent's start measured the sizes already; measuring again changes nothing.
        result("layout_before", Arrays.toString(StatisticsProbe.arrayLayout()));
        RuntimeStatistic.initialiseLocks();
        int[] layout = StatisticsProbe.arrayLayout();
        result("layout", Arrays.toString(layout));
        long int0 = StatisticsProbe.objectSize(new int[0]);
        long int1 = StatisticsProbe.objectSize(new int[1]);
        long object0 = StatisticsProbe.objectSize(new Object[0]);
        long object1 = StatisticsProbe.objectSize(new Object[1]);
        long object16 = StatisticsProbe.objectSize(new Object[16]);
        result("jvm_sizes", int0 + "," + int1 + "," + object0 + "," + object1 + "," + object16);
        long primitive = int1 == int0 ? int0 - 4 : int0;
        long objects = object1 == object0 ? object0 - 4 : object0;
        long reference = (object16 - objects) / 16;
        result("layout_follows_jvm", layout[0] == primitive && layout[1] == objects && layout[2] == reference);

        // The estimate equals the JVM's size for every element type and length.
        int mismatches = 0;
        StringBuilder first = new StringBuilder();
        for (int length = 0; length <= 64; length++) {
            long[] actual = sizes(length);
            for (int type = RuntimeStatistic.ARRAY_BOOLEAN; type <= RuntimeStatistic.ARRAY_LONG; type++) {
                long estimate = StatisticsProbe.arraySize(type, length);
                if (estimate != actual[type - RuntimeStatistic.ARRAY_BOOLEAN]) {
                    mismatches++;
                    if (first.length() == 0) {
                        first.append(type).append('[').append(length).append("]=").append(estimate).append('/')
                                .append(actual[type - RuntimeStatistic.ARRAY_BOOLEAN]);
                    }
                }
            }
            long objectEstimate = StatisticsProbe.arraySize(RuntimeStatistic.ARRAY_REFERENCE, length);
            long objectActual = StatisticsProbe.objectSize(new Object[length]);
            if (objectEstimate != objectActual) {
                mismatches++;
                if (first.length() == 0) {
                    first.append("16[").append(length).append("]=").append(objectEstimate).append('/')
                            .append(objectActual);
                }
            }
        }
        result("size_mismatches", mismatches);
        result("first_mismatch", first.length() == 0 ? "none" : first.toString());
        result("other_code", StatisticsProbe.arraySize(12, 5));
    }

    // ------------------------------------------------------------------------------------------
    // Bad input and the memory figure

    static final class Unfollowed {
    }

    public static void badInput(String[] args) {
        long[] before = StatisticsProbe.totals();
        Widget widget = new Widget(1);
        String name = Widget.class.getName();
        result("null_instance", RuntimeStatistic.addInstanceRealInternal(null, Widget.class, name, "here", 70, 0, 1, 0,
                ARRAY_NONE));
        result("null_class", RuntimeStatistic.addInstanceRealInternal(widget, null, name, "here", 70, 0, 1, 0,
                ARRAY_NONE));
        result("null_name", RuntimeStatistic.addInstanceRealInternal(widget, Widget.class, null, "here", 70, 0, 1, 0,
                ARRAY_NONE));
        result("null_birthplace", RuntimeStatistic.addInstanceRealInternal(widget, Widget.class, name, null, 70, 0, 1,
                0, ARRAY_NONE));
        result("reserved_point", RuntimeStatistic.addInstanceRealInternal(widget, Widget.class, name, "here", 5, 0, 1,
                0, ARRAY_NONE));
        result("reserved_point_high_bits", RuntimeStatistic.addInstanceRealInternal(widget, Widget.class, name, "here",
                8192 + 3, 0, 1, 0, ARRAY_NONE));
        result("null_wrapper", RuntimeStatistic.record(null, "here", 70, 1));
        long[] after = StatisticsProbe.totals();
        result("nothing_counted", after[0] == before[0] && after[1] == before[1]);
        result("untagged", StatisticsProbe.tagOf(widget));

        // A class index given without the class is used as it is.
        long tag = RuntimeStatistic.record(widget, "here", 70, 1);
        Widget second = new Widget(2);
        long indexOnly = RuntimeStatistic.addInstanceRealInternal(second, null, name, "here", 70,
                RuntimeStatistic.classIndex(tag), 1, 0, ARRAY_NONE);
        result("index_without_class", indexOnly != -1 && key(indexOnly) == key(tag)
                && RuntimeStatistic.sequence(indexOnly) == 2);
        // ... also for a new allocation point, where the class loader test falls back to the instance.
        URLClassLoader loader = new URLClassLoader(new URL[0], null);
        long loaderClassIndex = RuntimeStatistic.classIndex(RuntimeStatistic.record(loader, "here", 71, 1));
        URLClassLoader another = new URLClassLoader(new URL[0], null);
        long loaderTag = RuntimeStatistic.addInstanceRealInternal(another, null, "java.net.URLClassLoader", "there",
                72, (int) loaderClassIndex, 1, 0, ARRAY_NONE);
        result("index_without_class_loader", loaderTag != -1 && StatisticsProbe.allocation(id(loaderTag))[5] == 1);

        // A Class object is refused: its tag is its class's index, kept for the class's instances.
        long widgetIndex = StatisticsProbe.tagOf(Widget.class);
        result("class_object", RuntimeStatistic.record(Widget.class, "here", 74, 1));
        result("class_object_with_index", RuntimeStatistic.addInstanceRealInternal(Unfollowed.class, null,
                "java.lang.Class", "here", 74, (int) widgetIndex, 1, 0, ARRAY_NONE));
        Widget third = new Widget(4);
        long thirdTag = RuntimeStatistic.addInstanceRealInternal(third, Widget.class, name, "here", 70, 0, 1, 0,
                ARRAY_NONE);
        result("class_index_kept", widgetIndex == RuntimeStatistic.classIndex(tag)
                && StatisticsProbe.tagOf(Widget.class) == widgetIndex && key(thirdTag) == key(tag));
        long untaggedBefore = StatisticsProbe.tagOf(Unfollowed.class);
        long unfollowedTag = record(new Unfollowed(), Unfollowed.class, 75, 1);
        result("untagged_class_gets_index", untaggedBefore == 0 && unfollowedTag != -1
                && StatisticsProbe.tagOf(Unfollowed.class) == RuntimeStatistic.classIndex(unfollowedTag));

        // ObjectFree of a statistics tag nobody recorded, and of a class index tag.
        long unknown = (1L << 44) | (77L << 19) | 5;
        StatisticsProbe.objectFree(unknown);
        StatisticsProbe.objectFree(5);
        result("unknown_free_tag", unknown);
        result("still_counted", live(tag) == 3);

        // Memory: 26 bytes per live instance, strings by length plus one.
        Widget[] more = new Widget[10];
        long usage = RuntimeStatistic.getStatsMemoryUsage();
        for (int i = 0; i < more.length; i++) {
            more[i] = new Widget(i);
            RuntimeStatistic.record(more[i], "here", 70, 1);
        }
        result("usage_per_ten", RuntimeStatistic.getStatsMemoryUsage() - usage);
        long usageBeforeNew = RuntimeStatistic.getStatsMemoryUsage();
        Widget fresh = new Widget(3);
        RuntimeStatistic.addInstanceRealInternal(fresh, Widget.class, "abc", "de", 73, 0, 1, 0, ARRAY_NONE);
        result("usage_new_allocation", RuntimeStatistic.getStatsMemoryUsage() - usageBeforeNew);
        result("usage_matches_totals", StatisticsProbe.totals()[4] == RuntimeStatistic.getStatsMemoryUsage());
        result("alive", widget != null && second != null && third != null && loader != null && another != null
                && more != null && fresh != null);
    }

    /** Several threads record while others drop their instances and collect. */
    public static void churn(String[] args) throws Exception {
        final int threads = 4;
        final int rounds = 30;
        final int perRound = 500;
        long[] before = StatisticsProbe.totals();
        AtomicReference<String> failure = new AtomicReference<>();
        List<Thread> workers = new ArrayList<>();
        for (int t = 0; t < threads; t++) {
            final int number = t;
            Thread worker = new Thread(() -> {
                for (int round = 0; round < rounds; round++) {
                    List<Object> kept = new ArrayList<>();
                    for (int i = 0; i < perRound; i++) {
                        Widget widget = new Widget(i);
                        kept.add(widget);
                        long tag = record(widget, Widget.class, 80 + number, round);
                        if (tag == -1) {
                            failure.compareAndSet(null, "refused in round " + round);
                        }
                    }
                    if (round % 5 == 0) {
                        System.gc();
                        StatisticsProbe.flushObjectFree();
                    }
                }
            });
            workers.add(worker);
            worker.start();
        }
        for (Thread worker : workers) {
            worker.join();
        }
        result("failure", failure.get() == null ? "none" : failure.get());
        result("total_added", StatisticsProbe.totals()[1] - before[1]);
        int collected = collectUntil(() -> StatisticsProbe.totals()[0] == before[0]);
        result("all_freed", collected > 0);
        result("all_freed_stays", stillAfterCollection(() -> StatisticsProbe.totals()[0] == before[0]));
    }
}
