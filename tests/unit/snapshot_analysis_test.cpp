// The snapshot analyser on hand-made graphs: dominators and retained sizes, field names by their
// JVMTI index, suspects with their paths, the histogram and allocation points counted once,
// reference strength, threads and the verdict, the diff of two snapshots, damaged graphs, and the
// archive read as a stream.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>

#include "allocation_sites.h"
#include "analysis.h"
#include "reference_strength.h"
#include "snapshot/oom_compress.h"
#include "snapshot_diff.h"
#include "snapshot_load.h"
#include "snapshot_maker.h"
#include "text_reports.h"
#include "threads.h"

namespace {

using namespace snapshot_reader;
constexpr uint32_t kNone = Dominators::kUnreached;

// A snapshot analysed as the program does it.
struct Analysed {
  InfoFile info;
  HeapGraph graph;
  Dominators dominators;
  std::unique_ptr<FieldNames> names;
  std::unique_ptr<Analysis> analysis;
};

std::unique_ptr<Analysed> analyse(const vt::SnapshotMaker &maker, bool soft_is_strong = false) {
  auto result = std::make_unique<Analysed>();
  std::string error;
  EXPECT_TRUE(parse_info(maker.info(), &result->info, &error)) << error;
  const std::string &bytes = maker.graph();
  EXPECT_TRUE(build_graph(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(),
                          graph_limits(result->info, bytes.size()), bytes.size() / 2, &result->graph, &error))
      << error;
  result->names = std::make_unique<FieldNames>(result->graph, result->info);
  mark_referents(&result->graph, result->info, *result->names);
  compute_dominators(result->graph, &result->dominators, nullptr, soft_is_strong);
  result->analysis =
      std::make_unique<Analysis>(Analysis{result->graph, result->dominators, result->info, *result->names});
  return result;
}

// What holds for every dominator tree: each object retains itself and what it dominates, and the
// super-root retains every reached object.
void expect_consistent_retained_sizes(const Analysed &a) {
  const Dominators &d = a.dominators;
  uint64_t reached_bytes = 0;
  for (uint32_t id = 1; id < a.graph.node_count; ++id) {
    if (d.idom[id] == kNone) continue;
    reached_bytes += a.graph.shallow[id];
    uint64_t sum = a.graph.shallow[id];
    for (const uint32_t *c = d.children_begin(id); c != d.children_end(id); ++c) sum += d.retained[*c];
    EXPECT_EQ(d.retained[id], sum) << "object " << id;
    EXPECT_GE(d.retained[id], a.graph.shallow[id]) << "object " << id;
  }
  EXPECT_EQ(d.retained[0], reached_bytes);
}

TEST(Dominators, HandMadeGraphsHaveTheirKnownDominatorsAndRetainedSizes) {
  vt::SnapshotMaker m;
  uint32_t node = m.add_class("LNode;", {"left", "right"});
  auto object = [&](uint32_t size) { return m.add_object(node, size); };
  uint32_t a = object(10), b = object(20), c = object(30), d = object(40);  // a diamond
  uint32_t e = object(1), f = object(2), g = object(4);                     // a cycle
  uint32_t h = object(100), i = object(200), j = object(300);               // a chain
  uint32_t k = object(7), l = object(8);        // a root reached twice, and from the chain as well
  uint32_t s = object(1000), t = object(2000);  // reached only from a stack local
  m.root(a);
  m.ref(a, b, 2, 0), m.ref(a, c, 2, 1), m.ref(b, d), m.ref(c, d);
  m.root(e);
  m.ref(e, f), m.ref(f, g), m.ref(g, e);
  m.root(h);
  m.ref(h, i), m.ref(i, j), m.ref(j, k);
  m.root(k, 21), m.stack_local(k, 1, 77, 0, 1), m.ref(k, l);
  m.stack_local(s, 1, 77, 2, 3), m.ref(s, t);
  auto analysed = analyse(m);
  const Dominators &dom = analysed->dominators;
  // After the objects: the stack of thread 1, then its frames 0 (k's) and 2 (s's).
  const HeapGraph &graph = analysed->graph;
  uint32_t stack = graph.first_stack_node, frame0 = stack + 1, frame2 = stack + 2;
  ASSERT_EQ(graph.stack_nodes.size(), 3u);
  EXPECT_EQ(graph.stack_node(frame2).depth, 2);

  std::map<uint32_t, uint32_t> expected_idom{{a, 0},      {b, a}, {c, a},     {d, a},          {e, 0},         {f, e},
                                             {g, f},      {h, 0}, {i, h},     {j, i},          {k, 0},         {l, k},
                                             {s, frame2}, {t, s}, {stack, 0}, {frame0, stack}, {frame2, stack}};
  for (const auto &[id, idom] : expected_idom) EXPECT_EQ(dom.idom[id], idom) << "object " << id;
  EXPECT_EQ(dom.idom[node], kNone);  // the class object is reached by nothing
  // The stack retains what only its frames hold: s and t, not k (a JNI global holds it too).
  std::map<uint32_t, uint64_t> expected_retained{{a, 100},  {d, 40},       {e, 7},      {f, 6},
                                                 {h, 600},  {j, 300},      {k, 15},     {s, 3000},
                                                 {0, 3722}, {stack, 3000}, {frame0, 0}, {frame2, 3000}};
  for (const auto &[id, bytes] : expected_retained) EXPECT_EQ(dom.retained[id], bytes) << "object " << id;
  EXPECT_EQ(dom.reached, 18u);  // the 14 objects, the 3 stack nodes and the super-root
  expect_consistent_retained_sizes(*analysed);
  // The largest child comes first, the others by id.
  EXPECT_EQ(std::vector<uint32_t>(dom.children_begin(0), dom.children_end(0)),
            (std::vector<uint32_t>{stack, a, e, h, k}));
}

// Dominators by their definition: u dominates v when v is not reached from the roots without u.
// Some objects are weak references, whose first field (the referent) reaches nothing.
TEST(Dominators, AgreeWithTheDefinitionOnRandomGraphs) {
  std::mt19937 random(15);
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    vt::SnapshotMaker m;
    uint32_t reference = m.add_class("Ljava/lang/ref/Reference;", {"referent"});
    uint32_t weak = m.add_class("Ljava/lang/ref/WeakReference;"), klass = m.add_class("LNode;", {"a", "b"});
    m.ref(weak, reference, 10);
    uint32_t n = 2 + random() % 30;
    std::vector<uint32_t> ids;
    std::set<uint32_t> weak_ones;
    for (uint32_t v = 0; v < n; ++v) {
      bool is_weak = random() % 4 == 0;
      ids.push_back(m.add_object(is_weak ? weak : klass, 1 + random() % 100));
      if (is_weak) weak_ones.insert(ids.back());
    }
    std::vector<std::vector<uint32_t>> out(ids.back() + 1);  // by id; id 0 is the super-root
    for (uint32_t r = 0, roots = 1 + random() % 3; r < roots; ++r) {
      uint32_t to = ids[random() % n];
      m.root(to);
      out[0].push_back(to);
    }
    for (uint32_t x = 0, edges = random() % (3 * n); x < edges; ++x) {
      uint32_t from = ids[random() % n], to = ids[random() % n], index = random() % 2;
      m.ref(from, to, 2, index);
      if (!(weak_ones.count(from) && index == 0)) out[from].push_back(to);
    }
    auto analysed = analyse(m);
    const Dominators &dom = analysed->dominators;
    auto reach = [&](uint32_t without) {
      std::vector<bool> seen(out.size(), false);
      std::vector<uint32_t> stack{0};
      seen[0] = true;
      while (!stack.empty()) {
        uint32_t v = stack.back();
        stack.pop_back();
        for (uint32_t w : out[v]) {
          if (!seen[w] && w != without) seen[w] = true, stack.push_back(w);
        }
      }
      return seen;
    };
    std::vector<bool> reached = reach(kNone);
    // dominators[v]: every u != v that dominates v (the super-root included).
    std::vector<std::set<uint32_t>> dominators(out.size());
    for (uint32_t u : ids) {
      if (!reached[u]) continue;
      std::vector<bool> without = reach(u);
      for (uint32_t v : ids) {
        if (reached[v] && v != u && !without[v]) dominators[v].insert(u);
      }
    }
    for (uint32_t v : ids) {
      if (!reached[v]) {  // objects named nowhere are not in the graph at all
        if (v < analysed->graph.node_count) EXPECT_EQ(dom.idom[v], kNone) << "object " << v;
        continue;
      }
      // The immediate dominator is the strict dominator that all the others dominate: the deepest.
      uint32_t idom = 0;
      for (uint32_t u : dominators[v]) {
        if (idom == 0 || dominators[u].size() > dominators[idom].size()) idom = u;
      }
      EXPECT_EQ(dom.idom[v], idom) << "object " << v;
      uint64_t retained = 0;
      for (uint32_t w : ids) {
        if (w == v || dominators[w].count(v)) retained += analysed->graph.shallow[w];
      }
      EXPECT_EQ(dom.retained[v], retained) << "object " << v;
    }
    expect_consistent_retained_sizes(*analysed);
  }
}

// The example of the JVMTI documentation: interface fields first (each interface once), then the
// fields of the superclasses from the top, each class's in the listed order.
TEST(FieldNames, FollowTheJvmtiIndexRuleAndElementsShowTheirIndex) {
  vt::SnapshotMaker m;
  uint32_t i0 = m.add_class("LI0;", {"static p"});
  uint32_t i1 = m.add_class("LI1;", {"static x"});
  uint32_t i2 = m.add_class("LI2;", {"static y"});
  uint32_t c1 = m.add_class("LC1;", {"static a", "b"});
  uint32_t c2 = m.add_class("LC2;", {"static q", "r"});
  uint32_t array = m.add_class("[Ljava/lang/Object;");
  uint32_t one = m.add_object(c1, 16), two = m.add_object(c2, 24), elements = m.add_object(array, 40);
  uint32_t target = m.add_object(array, 16);
  m.root(c2, 22);
  m.ref(c2, c1, 10), m.ref(c2, i2, 7), m.ref(c1, i1, 7), m.ref(i1, i0, 7), m.ref(i2, i0, 7);
  m.root(one), m.root(two), m.root(elements);
  for (uint32_t index = 3; index <= 7; ++index) m.ref(two, target, 2, index);
  m.ref(one, target, 2, 2), m.ref(one, target, 2, 3);
  m.ref(c2, target, 8, 5), m.ref(c1, target, 8, 2), m.ref(i1, target, 8, 1), m.ref(i0, target, 8, 0);
  m.ref(elements, target, 3, 7), m.ref(c2, target, 4);
  auto analysed = analyse(m);
  const HeapGraph &graph = analysed->graph;
  auto names = [&](uint32_t id) {
    std::vector<std::string> result;
    for (uint32_t e = graph.first[id]; e < graph.first[id] + graph.degree[id]; ++e) {
      result.push_back(analysed->names->edge_name(id, e));
    }
    return result;
  };
  EXPECT_EQ(names(two), (std::vector<std::string>{".a", ".b", ".q", ".r", ".<field 7>"}));
  EXPECT_EQ(names(one), (std::vector<std::string>{".a", ".b"}));
  EXPECT_EQ(names(c2), (std::vector<std::string>{"<superclass>", "<interface>", ".q", "<class loader>"}));
  EXPECT_EQ(names(c1), (std::vector<std::string>{"<interface>", ".a"}));
  EXPECT_EQ(names(i1), (std::vector<std::string>{"<interface>", ".x"}));
  EXPECT_EQ(names(i0), (std::vector<std::string>{".p"}));
  EXPECT_EQ(names(elements), (std::vector<std::string>{"[7]"}));
  EXPECT_EQ(analysed->names->describe_type(c2), "class C2");
  EXPECT_EQ(analysed->names->describe_type(elements), "java.lang.Object[]");
  EXPECT_EQ(java_class_name("[[I"), "int[][]");
}

std::vector<std::string> vias(const std::vector<PathStep> &steps) {
  std::vector<std::string> result;
  for (const PathStep &step : steps) result.push_back(step.via);
  return result;
}

TEST(Suspects, TheCacheTheGroupAndTheStackLocalWithTheirPathsHistogramAndAllocationPoints) {
  vt::ShopSnapshot shop;
  auto analysed = analyse(shop.m);
  const Analysis &a = *analysed->analysis;
  expect_consistent_retained_sizes(*analysed);
  uint64_t cache = 48 + 1000 + 4 * (32 + 16 + 24 + 10000);
  ASSERT_EQ(a.heap(), cache + 5 * 2000 + 30000 + 100);

  std::vector<Suspect> suspects = find_suspects(a);
  std::string text = format_suspects(a, suspects, 0.10);
  ASSERT_EQ(suspects.size(), 3u) << text;
  const Suspect &map = suspects[0];
  EXPECT_EQ(map.id, shop.map);
  EXPECT_EQ(map.retained, cache);
  EXPECT_EQ(map.path.root_kind, 22u);
  EXPECT_EQ(vias(map.path.steps), (std::vector<std::string>{"", ".CACHE"})) << text;
  EXPECT_EQ(vias(map.inside), (std::vector<std::string>{".table"})) << text;
  EXPECT_EQ(map.held_class, shop.entry_class);
  EXPECT_EQ(map.held_members, 4u);
  EXPECT_EQ(vias(map.sample), (std::vector<std::string>{"[0]", ".value", ".receipt"})) << text;
  EXPECT_TRUE(vt::contains(text, "    .CACHE -> Map #" + std::to_string(shop.map) + "\n")) << text;

  // The map holds the four orders made at their allocation point, each counted once.
  find_suspect_sites(a, &suspects);
  ASSERT_EQ(map.sites.size(), 1u) << text;
  EXPECT_EQ(site_name(map.sites[0]), "Order @ Shop.main(Shop.java:10)");
  EXPECT_EQ(map.sites[0].live, 4u);
  EXPECT_EQ(map.sites[0].retained, 4 * 10024u);
  EXPECT_FALSE(map.holder_followed);

  const Suspect &local = suspects[1];
  EXPECT_EQ(local.id, shop.bytes_on_stack);
  EXPECT_EQ(local.path.root_kind, 24u);
  EXPECT_EQ(local.path.thread, "\"main\" (id 1)");
  EXPECT_EQ(local.path.frame, "Shop.main (frame 2, slot 3)");

  const Suspect &sessions = suspects[2];
  EXPECT_TRUE(sessions.group);
  EXPECT_EQ(sessions.id, shop.registry);
  EXPECT_EQ(sessions.members, 4u);
  EXPECT_EQ(sessions.retained, 10000u);
  EXPECT_EQ(vias(sessions.sample), (std::vector<std::string>{".s3"})) << text;
  EXPECT_TRUE(vt::contains(text, "Suspect 3: 4 objects of Session under class Registry #")) << text;
  EXPECT_EQ(find_suspects(a, 0.5).size(), 1u);

  // Retained bytes per class count an instance held by another of its class once.
  std::map<uint32_t, ClassRow> rows;
  for (const ClassRow &row : class_histogram(a)) rows[row.class_id] = row;
  EXPECT_EQ(rows[shop.session_class].instances, 5u);
  EXPECT_EQ(rows[shop.session_class].retained, 10000u);
  EXPECT_EQ(rows[shop.entry_class].retained, 4 * (32 + 16 + 24 + 10000u));
  EXPECT_EQ(rows[shop.map_class].shallow, 48u);
  EXPECT_EQ(top_dominators(a, 2), (std::vector<uint32_t>{shop.shop, shop.map}));  // the class object first

  std::vector<AllocationRow> points = allocation_rows(a);
  ASSERT_EQ(points.size(), 1u);
  EXPECT_TRUE(points[0].listed);
  EXPECT_EQ(points[0].point.birthplace, "Shop.main(Shop.java:10)");
  EXPECT_EQ(points[0].live, 4u);
  EXPECT_EQ(points[0].retained, 4 * 10024u);
}

// A site's retained bytes count each object once: a chain made at one line retains exactly its
// bytes, and of two sites that interleave along a chain each retains what its first link holds.
TEST(AllocationSites, RetainedBytesOfASiteCountEachObjectOnce) {
  constexpr uint32_t kChainSite = (33u << 19) | 1, kOddSite = (34u << 19) | 1, kEvenSite = (35u << 19) | 1;
  vt::SnapshotMaker m;
  uint32_t node = m.add_class("LNode;", {"next"});
  m.add_allocation_point(kChainSite, "Node", "Chain.java:1");
  m.add_allocation_point(kOddSite, "Node", "Odd.java:1");
  m.add_allocation_point(kEvenSite, "Node", "Even.java:1");
  std::vector<uint32_t> chain, mixed;
  for (uint32_t n = 0; n < 10; ++n) chain.push_back(m.add_object(node, 100, kChainSite));
  for (uint32_t n = 0; n < 6; ++n) mixed.push_back(m.add_object(node, 10 + n, n % 2 ? kEvenSite : kOddSite));
  m.root(chain[0]), m.root(mixed[0]);
  for (size_t n = 1; n < chain.size(); ++n) m.ref(chain[n - 1], chain[n]);
  for (size_t n = 1; n < mixed.size(); ++n) m.ref(mixed[n - 1], mixed[n]);
  auto analysed = analyse(m);
  std::map<std::string, AllocationRow> rows;
  for (const AllocationRow &row : allocation_rows(*analysed->analysis)) rows[row.point.birthplace] = row;
  EXPECT_EQ(rows["Chain.java:1"].live, 10u);
  EXPECT_EQ(rows["Chain.java:1"].retained, 1000u);
  EXPECT_EQ(rows["Odd.java:1"].shallow, 10u + 12 + 14);
  EXPECT_EQ(rows["Odd.java:1"].retained, 10u + 11 + 12 + 13 + 14 + 15);
  EXPECT_EQ(rows["Even.java:1"].retained, 11u + 12 + 13 + 14 + 15);
}

// A static list (10 kB), a static weak reference to 30 kB, a static soft reference to 20 kB, and a
// thread whose ThreadLocal value (5 kB) is the thread's own, while a static weak reference names
// the thread too. One array is held by the list, by the thread and by a stack local of it.
struct ReferenceSnapshot {
  vt::SnapshotMaker m;
  uint32_t holder, list, weak, soft, thread, value, shared;
  ReferenceSnapshot() {
    uint32_t reference = m.add_class("Ljava/lang/ref/Reference;", {"referent", "queue"});
    uint32_t weak_class = m.add_class("Ljava/lang/ref/WeakReference;");
    uint32_t soft_class = m.add_class("Ljava/lang/ref/SoftReference;");
    uint32_t entry_class = m.add_class("LThreadLocalMap$Entry;", {"value"});
    holder = m.add_class("LHolder;", {"static LIST", "static WEAK", "static SOFT", "static THREAD"});
    uint32_t thread_class = m.add_class("Ljava/lang/Thread;", {"threadLocals", "target"});
    uint32_t map_class = m.add_class("LThreadLocalMap;", {"table"});
    uint32_t entries = m.add_class("[LThreadLocalMap$Entry;"), objects = m.add_class("[Ljava/lang/Object;");
    uint32_t bytes = m.add_class("[B");
    m.add_method(thread_class, 90, "run");
    m.ref(weak_class, reference, 10), m.ref(soft_class, reference, 10), m.ref(entry_class, weak_class, 10);
    m.root(holder, 22);
    list = m.add_object(objects, 16);
    m.ref(holder, list, 8, 0), m.ref(list, m.add_object(bytes, 10000), 3, 0);
    weak = m.add_object(weak_class, 24);
    m.ref(holder, weak, 8, 1), m.ref(weak, m.add_object(bytes, 30000), 2, 0);
    soft = m.add_object(soft_class, 24);
    m.ref(holder, soft, 8, 2), m.ref(soft, m.add_object(bytes, 20000), 2, 0);
    thread = m.add_object(thread_class, 100);
    uint32_t registry = m.add_object(weak_class, 24);
    m.ref(holder, registry, 8, 3), m.ref(registry, thread, 2, 0);
    m.root(thread, 26), m.add_thread(5, thread, "worker", {"LThread;.run:7(0)"});
    uint32_t map = m.add_object(map_class, 40), table = m.add_object(entries, 32),
             entry = m.add_object(entry_class, 32);
    m.ref(thread, map, 2, 0), m.ref(map, table, 2, 0), m.ref(table, entry, 3, 0);
    m.ref(entry, m.add_object(objects, 16), 2, 0);  // the ThreadLocal, only its entry's referent
    value = m.add_object(bytes, 5000);
    m.ref(entry, value, 2, 2);
    shared = m.add_object(bytes, 2000);
    m.ref(list, shared, 3, 1), m.ref(thread, shared, 2, 1), m.stack_local(shared, 5, 90, 0, 1);
  }
};

TEST(ReferenceStrength, ReferentsKeepNothingAliveAndPathsGoAroundThem) {
  ReferenceSnapshot r;
  auto analysed = analyse(r.m);
  const Analysis &a = *analysed->analysis;
  expect_consistent_retained_sizes(*analysed);
  ASSERT_EQ(a.heap(), 16 + 10000 + 3 * 24 + 100 + 40 + 32 + 32 + 5000 + 2000u);
  EXPECT_EQ(a.dominators.retained[r.weak], 24u);
  WeakReach weak = weak_reach(a.graph, a.dominators);
  EXPECT_EQ(weak.objects[0], 1u);
  EXPECT_EQ(weak.bytes[0], 20000u);
  EXPECT_EQ(weak.objects[1], 2u);  // the 30 kB and the ThreadLocal
  EXPECT_EQ(weak.bytes[1], 30016u);

  // The thread holds its ThreadLocal value; the path reaches the thread from its own root, not
  // through the static weak reference's referent.
  std::vector<Suspect> suspects = find_suspects(a);
  std::string text = format_suspects(a, suspects, 0.10);
  ASSERT_EQ(suspects.size(), 3u) << text;  // the list, the thread, and the array three roots share
  EXPECT_EQ(suspects[0].id, r.list);
  EXPECT_EQ(suspects[1].id, r.thread);
  EXPECT_EQ(suspects[1].path.root_kind, 26u) << text;
  EXPECT_EQ(vias(suspects[1].inside), (std::vector<std::string>{".threadLocals", ".table", "[0]", ".value"})) << text;
  RootPath to_value = paths_from_roots(a, {r.value})[0];
  EXPECT_EQ(vias(to_value.steps), (std::vector<std::string>{"", ".threadLocals", ".table", "[0]", ".value"}));

  // Distinct paths: the static list's first, then the stack local's, then the thread's field.
  std::vector<RootPath> paths = distinct_paths_from_roots(a, {r.shared}, 3)[0];
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(vias(paths[0].steps), (std::vector<std::string>{"", ".LIST", "[1]"}));
  EXPECT_EQ(paths[1].root_kind, 24u);
  EXPECT_EQ(paths[1].frame, "java.lang.Thread.run (frame 0, slot 1)");
  EXPECT_EQ(vias(paths[2].steps), (std::vector<std::string>{"", ".target"}));
  EXPECT_EQ(distinct_paths_from_roots(a, {r.shared}, 2)[0].size(), 2u);

  // Counted as strong on request, the soft reference keeps its 20 kB.
  auto with_soft = analyse(r.m, true);
  EXPECT_EQ(with_soft->dominators.retained[r.soft], 20024u);
  EXPECT_EQ(with_soft->analysis->heap(), a.heap() + 20000);
}

// A leak: a static map holds most of the heap while a worker's frames hold a little. A spike: the
// frames of one request thread hold most of it, more than the static holder.
TEST(Threads, TheCurrentThreadComesFirstAndTheVerdictTellsALeakFromASpike) {
  auto snapshot = [](uint32_t static_bytes, uint32_t local_bytes) {
    vt::SnapshotMaker m;
    uint32_t holder = m.add_class("LCache;", {"static MAP"}), bytes = m.add_class("[B");
    uint32_t thread_class = m.add_class("Ljava/lang/Thread;");
    m.add_method(holder, 61, "handle");
    m.root(holder, 22);
    m.ref(holder, m.add_object(bytes, static_bytes), 8, 0);
    uint32_t main = m.add_object(thread_class, 100), worker = m.add_object(thread_class, 100);
    m.root(main, 26), m.root(worker, 26);
    m.add_thread(1, main, "main", {"LMain;.main:3(0)"});
    m.add_thread(7, worker, "request-7",
                 {"Ljava/lang/Thread;.sleep:-1(-1)", "LCache;.handle:42(12)", "LCache;.serve:9(1)"});
    m.set_current_thread(1);
    m.stack_local(m.add_object(bytes, local_bytes), 7, 61, 1, 2);
    m.stack_local(m.add_object(bytes, local_bytes / 2), 7, 61, 2, 0);
    return m;
  };
  auto leak = analyse(snapshot(60000, 4000));
  std::vector<ThreadRow> threads = thread_rows(*leak->analysis);
  ASSERT_EQ(threads.size(), 2u);
  EXPECT_TRUE(threads[0].current);
  EXPECT_EQ(threads[0].name, "main");
  EXPECT_EQ(threads[0].retained, 0u);
  EXPECT_EQ(threads[1].retained, 6000u);
  ASSERT_EQ(threads[1].frames.size(), 3u);
  EXPECT_EQ(threads[1].frames[0].method, "java.lang.Thread.sleep");  // a native frame has no line
  EXPECT_EQ(threads[1].frames[0].line, -1);
  EXPECT_EQ(threads[1].frames[1].method, "Cache.handle");
  EXPECT_EQ(threads[1].frames[1].line, 42);
  EXPECT_EQ(threads[1].frames[1].retained, 4000u);
  EXPECT_EQ(threads[1].frames[2].retained, 2000u);
  std::vector<Suspect> suspects = find_suspects(*leak->analysis);
  Verdict verdict = decide_verdict(*leak->analysis, suspects, threads, 0.10);
  EXPECT_EQ(verdict.kind, Verdict::Kind::kLeak) << verdict.reason;
  EXPECT_EQ(verdict.suspect, 0);
  EXPECT_TRUE(vt::contains(verdict.reason, "through a system class root")) << verdict.reason;

  auto spike = analyse(snapshot(20000, 40000));
  threads = thread_rows(*spike->analysis);
  suspects = find_suspects(*spike->analysis);
  verdict = decide_verdict(*spike->analysis, suspects, threads, 0.10);
  EXPECT_EQ(verdict.kind, Verdict::Kind::kSpike) << verdict.reason;
  EXPECT_EQ(verdict.thread, 7);
  EXPECT_TRUE(vt::contains(verdict.reason, "the stack frames of thread \"request-7\" (id 7) hold 74.8%"))
      << verdict.reason;
  ASSERT_GE(suspects.size(), 2u);
  EXPECT_TRUE(held_by_a_stack(*spike->analysis, suspects[0]));
  EXPECT_EQ(suspects[0].path.frame, "Cache.handle (frame 1, slot 2)");
}

// Two snapshots of the shop, the second with twice the orders: the orders' site, class and
// dominator path grew by what the new orders retain; sessions in a chain fold into one path.
TEST(SnapshotDiff, GrowthBySiteClassAndDominatorPathAcrossSnapshots) {
  vt::ShopSnapshot before(4), after(8);
  auto old_snapshot = analyse(before.m), new_snapshot = analyse(after.m);
  Profile old_profile = make_profile(*old_snapshot->analysis), new_profile = make_profile(*new_snapshot->analysis);
  SnapshotDiff diff = compare_profiles(old_profile, new_profile, SIZE_MAX);
  ASSERT_FALSE(diff.sites.empty());
  EXPECT_EQ(diff.sites[0].key, "Order @ Shop.main(Shop.java:10)");
  EXPECT_EQ(diff.sites[0].old_side.objects, 4u);
  EXPECT_EQ(diff.sites[0].new_side.objects, 8u);
  EXPECT_EQ(diff.sites[0].growth(), 4 * 10024);
  EXPECT_EQ(diff.heap_growth(), 4 * (32 + 16 + 24 + 10000));
  std::map<std::string, DiffRow> classes, paths;
  for (const DiffRow &row : diff.classes) classes[row.key] = row;
  for (const DiffRow &row : diff.paths) paths[row.key] = row;
  EXPECT_EQ(classes["Order"].growth(), 4 * 10024);
  EXPECT_EQ(classes["Session"].growth(), 0);
  const DiffRow &orders = paths["class Shop .CACHE -> Map .table -> Entry[] [*] -> Entry .value -> Order"];
  EXPECT_EQ(orders.old_side.objects, 4u);
  EXPECT_EQ(orders.new_side.objects, 8u);
  EXPECT_EQ(orders.old_side.retained, 4 * 10024u);
  const DiffRow &chain = paths["class Registry .s3 -> Session"];
  EXPECT_EQ(chain.new_side.objects, 2u);
  EXPECT_EQ(chain.new_side.retained, 4000u);
  EXPECT_EQ(paths.count("class Registry .s3 -> Session .next -> Session"), 0u);
  std::string what;
  EXPECT_EQ(diff.largest_growth(&what), diff.heap_growth());
  EXPECT_EQ(what, "the heap");

  // Held by a JNI local and a static field, a map is named by the field, not by the root.
  vt::SnapshotMaker m;
  uint32_t cache = m.add_class("LCache;", {"static MAP"}), map_class = m.add_class("LMap;");
  m.root(cache, 22);
  uint32_t map = m.add_object(map_class, 48);
  m.ref(cache, map, 8, 0), m.root(map, 25);
  auto held = analyse(m);
  ASSERT_EQ(held->dominators.idom[map], 0u);
  std::vector<PathEntry> entries = dominator_paths(*held->analysis);
  std::set<std::string> texts;
  for (uint32_t k = 0; k < entries.size(); ++k) {
    if (entries[k].objects > 0) texts.insert(path_text(entries, k));
  }
  EXPECT_EQ(texts, (std::set<std::string>{"class Cache", "class Cache .MAP -> Map"}));
}

std::string with_byte(std::string text, size_t offset, uint8_t value) {
  text[offset] = (char)value;
  return text;
}

// Every cut and every damaged record names its byte offset; pieces of any size read the same.
TEST(GraphParser, CutOrCorruptGraphsNameTheByteOffset) {
  vt::ShopSnapshot shop;
  std::string graph = shop.m.graph();
  InfoFile info;
  std::string error;
  ASSERT_TRUE(parse_info(shop.m.info(), &info, &error));
  auto build = [&](const std::string &bytes, size_t split, HeapGraph *out) {
    error.clear();
    return build_graph(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), graph_limits(info, 0), split, out,
                       &error);
  };
  HeapGraph whole;
  ASSERT_TRUE(build(graph, graph.size(), &whole)) << error;
  for (size_t split = 0; split <= graph.size(); ++split) {
    HeapGraph pieces;
    ASSERT_TRUE(build(graph, split, &pieces)) << "split at " << split << ": " << error;
    ASSERT_EQ(pieces.target, whole.target) << "split at " << split;
    ASSERT_EQ(pieces.label, whole.label) << "split at " << split;
    ASSERT_EQ(pieces.shallow, whole.shallow) << "split at " << split;
  }
  const std::vector<size_t> &record_starts = shop.m.record_starts();
  std::set<size_t> starts(record_starts.begin(), record_starts.end());
  for (size_t cut = 0; cut < graph.size(); ++cut) {
    HeapGraph out;
    EXPECT_FALSE(build(graph.substr(0, cut), cut / 2, &out)) << "cut at " << cut;
    size_t record = *std::prev(starts.upper_bound(cut));
    EXPECT_EQ(error.rfind("offset " + std::to_string(record) + ": ", 0), 0u) << "cut at " << cut << ": " << error;
  }
  size_t third = record_starts[4];  // the third root: kind byte, referrer, referee, then its object
  ASSERT_EQ((uint8_t)graph[third], 0x80 | 26);
  HeapGraph out;
  EXPECT_FALSE(build(with_byte(graph, third, 12), 5, &out));
  EXPECT_EQ(error, "offset " + std::to_string(third) + ": unknown reference kind 12");
  EXPECT_FALSE(build(with_byte(graph, third + 5, 200), 5, &out));
  EXPECT_EQ(error, "offset " + std::to_string(third) + ": id 200 is not below the object count " +
                       std::to_string(info.summary["Object count"]));
  EXPECT_FALSE(build(with_byte(graph, third, 0x24), 5, &out));  // an index on a class loader reference
  EXPECT_EQ(error, "offset " + std::to_string(third) + ": index on a reference of kind class loader");
  // Without the Summary, the graph's size bounds the ids.
  InfoFile no_summary;
  HeapGraph bounded;
  std::string far = with_byte(graph, third + 7, 0x40);
  EXPECT_FALSE(build_graph(reinterpret_cast<const uint8_t *>(far.data()), far.size(), graph_limits(no_summary, 0), 0,
                           &bounded, &error));
  EXPECT_TRUE(vt::contains(error, "is more than a graph of " + std::to_string(far.size()) + " bytes can name"))
      << error;
}

// The agent's archive is read as a stream and gives the same graph as the directory; a damaged
// archive is refused with a clear message.
TEST(SnapshotInput, TheArchiveReadsLikeItsDirectory) {
  vt::ShopSnapshot shop;
  vt::TempDir dir("vorkel-analysis");
  ASSERT_TRUE(shop.m.write(dir.path()));
  std::string archive = dir / "oom_1.tar.bz2";
  ASSERT_TRUE(oom_archive_create((dir / "oom_info.txt").c_str(), (dir / "oom_graph.bin").c_str(), archive.c_str()));
  LoadedSnapshot from_directory, from_archive;
  std::string error;
  ASSERT_TRUE(load_snapshot(dir.path(), &from_directory, nullptr, &error)) << error;
  ASSERT_TRUE(load_snapshot(archive, &from_archive, nullptr, &error)) << error;
  EXPECT_EQ(from_archive.graph.target, from_directory.graph.target);
  EXPECT_EQ(from_archive.graph.shallow, from_directory.graph.shallow);
  EXPECT_EQ(from_archive.info.classes.size(), 10u);
  EXPECT_EQ(from_archive.graph.references, from_directory.graph.references);
  Report summary = read_directory(archive);  // the summary checks the archive's two files too
  EXPECT_TRUE(summary.ok) << format_report(summary, 5);

  std::string bytes = vt::read_file(archive);
  vt::write_file(archive, bytes.substr(0, bytes.size() - 100));
  LoadedSnapshot cut;
  EXPECT_FALSE(load_snapshot(archive, &cut, nullptr, &error));
  EXPECT_TRUE(vt::contains(error, "cut off")) << error;
  vt::write_file(archive, with_byte(bytes, bytes.size() / 2, (uint8_t)~bytes[bytes.size() / 2]));
  EXPECT_FALSE(load_snapshot(archive, &cut, nullptr, &error));
  EXPECT_TRUE(vt::contains(error, "damaged")) << error;
  vt::write_file(dir / "oom_graph.bin", shop.m.graph().substr(0, 40));
  EXPECT_FALSE(load_snapshot(dir.path(), &cut, nullptr, &error));
  EXPECT_EQ(error.rfind("oom_graph.bin: offset ", 0), 0u) << error;
}

}  // namespace
