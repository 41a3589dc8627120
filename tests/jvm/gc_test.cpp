// The GC probes in real JVMs: the collection count published by the reporter thread under each
// collector, the start that fails without reportJ9Collections, and the J9 verbose-GC path through
// a JVMTI environment of the test's own that offers the J9 extension.
#include "jvm_test.h"

namespace {

using vt::AgentHome;

class GcJvm : public vt::JvmTest {};
VT_JDK_TEST_SUITE(GcJvm);

TEST_P(GcJvm, ReporterPublishesTheCountAndCallsOnlyWhenAttachedAndEnabled) {
  for (const char *collector : {"-XX:+UseSerialGC", "-XX:+UseParallelGC", "-XX:+UseG1GC"}) {
    SCOPED_TRACE(collector);
    AgentHome home;
    auto results = run(home, "GcScenarios.counts", {.agent_options = "gc=false", .jvm_flags = {collector}});
    EXPECT_RESULTS(results, {{"settled_unattached", "true"},
                             {"settled_attached", "true"},
                             {"twenty_counted", "true"},
                             {"gc_count_at_least_30", "true"},
                             {"calls_before_enabled", "0"},
                             {"call_thread", "GC Count reporter thread"},
                             {"reporter_held", "true"},
                             {"attach_while_reporting", "true"},
                             {"passes_after_ten", "1"},
                             {"published_latest", "true"},
                             {"reporter_in_dump", "true"},
                             {"reporter_dump_daemon_prio", "true"},
                             {"reporter_daemon", "true"},
                             {"reporter_priority", "1"},
                             {"main_done", "true"}});
    // The ten collections made while the reporter was busy reach Java in that one pass.
    EXPECT_GE(std::atoi(results["count_jump"].c_str()), 10) << output();
    EXPECT_TRUE(home.log().agent_errors().empty()) << home.log();
  }
}

TEST_P(GcJvm, TheAgentLogsTheCountItSees) {
  AgentHome home;
  auto results = run(home, "GcScenarios.agentReport", {.agent_options = "gcreport=5"});
  EXPECT_RESULTS(results, {{"own_receiver", "true"}, {"count_logged", "true"}, {"j9_on_hotspot", "false"}});
}

TEST_P(GcJvm, StartFailsWithoutReportJ9Collections) {
  AgentHome home;
  auto results = run(home, "GcScenarios.missingJ9Method",
                     {.agentpath = false, .javaagent = false, .args = {home.lib(), home.home(), home.work()}});
  EXPECT_RESULTS(results, {{"start", "-1"}, {"renamed", "true"}});
  EXPECT_EQ(home.log().count("ERROR - Failed to find GarbageCollectionNativeImpl methods "
                             "reportCollection/reportJ9Collections (generation_counter_initialise:"),
            1u)
      << home.log();
}

TEST_P(GcJvm, J9RecordsReachReportJ9CollectionsAsLaidOut) {
  AgentHome home(true);
  auto results = run(home, "GcScenarios.j9", {.agent_options = "gc=false"});
  EXPECT_RESULTS(
      results,
      {{"registration",
        "registered=true description=vorkelgc alarm_null=true user_data_null=true id_slot=true other_calls=0 "
        "given_back=7/7"},
       // Tried once: the second call answers from the first, without asking JVMTI again.
       {"enable_again", "true"},
       {"register_calls", "1"},
       // No record from a gc-end alone, a broken gc-start, a single pool or a resize in between.
       {"incomplete_reports", "0"},
       // Nine pools given, eight kept and fixed as the pool names; 12.75 ms is 12; inside an
       // allocation failure. Record: collector index, duration, allocation failure | used, total of
       // each pool before | after.
       {"first_calls", "1"},
       {"first_pools", "nursery,allocate,survivor,tenure,soa,loa,class-storage-l,extra"},
       {"first_collectors", "scavenge"},
       {"first_count", "1/36"},
       {"first_record",
        "0,12,1|10,10,10,11,10,12,10,13,10,14,10,15,10,16,10,17|20,20,19,21,18,22,17,23,16,24,15,25,14,26,13,27"},
       {"first_timestamp_in_range", "true"},
       // 129 queued: the first gave way; 8 per pass; the pools a record lacks read as 0.
       {"ring_counts", "8888888888888888"},
       {"ring_durations", "128:2..129"},
       {"ring_record", "0,2,0|10,10,10,11,10,12,10,13,10,14,10,15,0,0,0,0|20,20,19,21,18,22,17,23,16,24,15,25,0,0,0,0"},
       // Ten records as 8 and 2; the ninth type has index 0; names cut to 31 characters.
       {"ten_counts", "8,2"},
       {"ten_indexes", "1,2,3,4,5,6,7,0|0,1"},
       {"collectors", "scavenge,global,c3,c4,c5,c6,c7,concurrent-collection-of-the-ol"},
       // Unattached, the passes leave the records queued; attached, the reporter thread hands them
       // over, and without enableGcFinishNotifications never calls reportCollection.
       {"settled_unattached", "true"},
       {"waiting_while_unattached", "true"},
       {"reported_by_reporter", "GC Count reporter thread"},
       {"reporter_report", "2:0,1"},
       {"collection_calls", "0"},
       {"decoded", "141"}});
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("Registered the verbose GC subscriber."), 1u) << log;
  EXPECT_TRUE(log.agent_errors().empty()) << log;
}

}  // namespace
