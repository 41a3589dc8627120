// User transactions, the lock contention probe and blocker detection in real JVMs.
#include <gtest/gtest.h>

#include "jvm_test.h"
#include "test_collector.h"

namespace {

using vt::AgentHome;

// Except for the API's reports, the scenarios drive the natives themselves: the agent jar does not
// start following transactions.
class TransactionsJvm : public vt::JvmTest {
 protected:
  vt::Results scenario(AgentHome &home, const std::string &name, std::vector<std::string> args = {},
                       std::vector<std::string> flags = {}, const std::string &agent_options = "transactions=false") {
    return run(home, "TransactionScenarios." + name,
               {.agent_options = agent_options, .jvm_flags = flags, .args = args});
  }
  // A scenario of the virtual-thread group, under -Xcheck:jni; its output may hold no warning.
  vt::Results virtual_scenario(AgentHome &home, const std::string &name, std::vector<std::string> args = {}) {
    auto results = run(home, "VirtualTransactionScenarios." + name,
                       {.agent_options = "transactions=false", .jvm_flags = {"-Xcheck:jni"}, .args = args});
    EXPECT_FALSE(vt::contains(last().out + last().err, "WARNING")) << output();
    EXPECT_EQ(results["configured"], "true") << output();
    return results;
  }
};
VT_JDK_TEST_SUITE(TransactionsJvm);

TEST_P(TransactionsJvm, LongWaitsThresholdsExclusionsAndSummaries) {
  AgentHome home(true);
  auto r = scenario(home, "natives");
  const std::string out = output();
  EXPECT_EQ(r["supported"], "true");
  EXPECT_EQ(r["enable_before_configure"], "false");
  EXPECT_EQ(r["fetch_never_joined"], "none");
  EXPECT_EQ(r["configured"], "true") << out;
  EXPECT_EQ(r["configured_again"], "false");
  EXPECT_EQ(r["enabled"], "true");
  EXPECT_EQ(r["quiet"], "null,null,null,null");
  EXPECT_EQ(r["timed"], "TimingOperationSummary,null,null,null");
  EXPECT_EQ(r["timings"], "0/0/0 2/7000000/5000000 0/0/0 1/1000000/1000000");
  EXPECT_EQ(r["timed_again"], "null,null,null,null");

  // One 200 ms wait for a monitor held by a sleeping thread.
  EXPECT_EQ(r["long_wait"], "null,null,marker,1") << out;
  EXPECT_EQ(r["lock_class"], "Lvorkel/test/TransactionScenarios$Inventory;");
  EXPECT_EQ(r["thread"], "main");
  EXPECT_EQ(r["declaring_class"], "Lvorkel/test/TransactionScenarios;");
  EXPECT_EQ(r["method"], "waitForLock");
  EXPECT_EQ(r["stack_top"].rfind("Lvorkel/test/TransactionScenarios;.waitForLock:", 0), 0u) << r["stack_top"];
  long duration = std::stol(r["duration"]);
  EXPECT_GE(duration, 200);
  EXPECT_LT(duration, 400);
  EXPECT_EQ(r["start_inside"], "true");
  EXPECT_EQ(r["blocker"], "holder");
  EXPECT_EQ(r["blocker_stack_shows_holder"], "true");
  EXPECT_GE(std::stoi(r["confirmed"]), 1);
  EXPECT_EQ(r["second_fetch"], "null,null,marker,null");
  EXPECT_EQ(r["fetch_after_leave"], "none");
  // Never joined, joined, one long wait recorded, fetched, left.
  EXPECT_EQ(r["long_waits_pending"], "false,false,true,false,false");

  EXPECT_EQ(r["wait_outside"], "null,null,null,null");
  if (std::stol(r["ten_ms_measured"]) < 29) EXPECT_EQ(r["ten_ms"], "null,null,null,null");
  EXPECT_EQ(r["under_threshold"], "null,null,null,null");
  EXPECT_EQ(r["excluded"], "null,null,null,null");
  EXPECT_EQ(r["joined_twice"], "null,null,null,null");
  EXPECT_EQ(r["disable"], "true");
  EXPECT_EQ(r["fetch_disabled"], "null,null,marker,null");
  EXPECT_EQ(r["fetch_enabled_again"], "null,null,marker,1");

  // A wait that ended while its monitor was examined.
  EXPECT_EQ(r["paused_detections"], "1");
  EXPECT_EQ(r["missed_waits"], "1");
  EXPECT_EQ(r["missed"], "1");
  EXPECT_EQ(r["missed_blocker"], "null");
  // An owner that ended before its stack was taken (the agent errors below stay empty).
  EXPECT_RESULTS(r, {{"ended_owner_pauses", "1"}, {"ended_owner_blocker", "null"}});

  // 1000 records, and the waits beyond them leave the cleared root-cause flag alone.
  EXPECT_EQ(r["cap_state"], "10000");
  EXPECT_EQ(r["cap_fetched"], "1000");
  EXPECT_TRUE(home.log().agent_errors().empty()) << home.log();
}

TEST_P(TransactionsJvm, MonitorEventsLogToTheNativeLogOnly) {
  AgentHome home(true);
  auto results = scenario(home, "loggerLockInMonitorEvent");
  EXPECT_RESULTS(results, {{"configured", "true"}, {"no_deadlock", "true"}, {"reached_java_logger", "false"}});
  EXPECT_GE(home.log().count("probe: logged inside MonitorContendedEntered"), 1u) << home.log();
}

TEST_P(TransactionsJvm, SixteenThreadsOnFourMonitorsUnderCheckJni) {
  AgentHome home(true);
  constexpr int rounds = 5;
  auto r = scenario(home, "load", {std::to_string(rounds), "2000"}, {"-Xcheck:jni"});
  const std::string all_output = last().out + last().err;
  EXPECT_EQ(r["configured"], "true") << all_output;
  EXPECT_FALSE(vt::contains(all_output, "WARNING")) << all_output;
  EXPECT_EQ(r["inconsistent"], "0") << output();
  EXPECT_GT(std::stol(r["waits"]), 100);
  EXPECT_GT(std::stol(r["blocked"]), 0);
  EXPECT_EQ(r["active_after"], "0");
  // The C heap after the third round (warmed up: the compilers have given their arenas back)
  // against the last: the agent keeps nothing per wait or transaction once it is fetched.
  long warm = std::stol(r["heap_round_3"]);
  long last = std::stol(r["heap_round_" + std::to_string(rounds)]);
  std::cout << "[ heap     ] C heap in use per round:";
  for (int i = 1; i <= rounds; ++i) std::cout << " " << r["heap_round_" + std::to_string(i)];
  std::cout << "; long waits " << r["waits"] << ", with blocker " << r["blocked"] << ", transactions "
            << r["transactions"] << ", detection passes " << r["passes"] << std::endl;
  EXPECT_LT(last - warm, 1024L * 1024) << "C heap grew from " << warm << " to " << last;
  EXPECT_TRUE(home.log().agent_errors().empty()) << home.log();
}

// Virtual threads keep their transactions in records of their own, never in their carriers'
// slots: each of eight virtual threads waiting for one monitor records its own wait, and a platform
// transaction waiting meanwhile for another monitor records only its own. Records of threads that
// end inside a transaction are freed.
TEST_P(TransactionsJvm, VirtualThreadsKeepTheirOwnWaitsNeverMixedWithOthers) {
  VT_ONLY_ON_JDK(jdk.major >= 21);
  AgentHome home(true);
  auto r = virtual_scenario(home, "mixed");
  EXPECT_RESULTS(r, {{"virtual_finished", "8"},
                     {"virtual_own_waits", "8"},
                     {"platform", "null,null,marker,1"},
                     {"platform_thread", "main"},
                     {"platform_lock", "Lvorkel/test/TransactionScenarios$Inventory;"}});
  // Since JDK 23 the JVM reports no owner for a monitor that a virtual thread holds; one outside
  // every transaction is not found otherwise.
  if (jdk().major >= 23) EXPECT_RESULTS(r, {{"virtual_owner_blocker", "null"}, {"virtual_owner_no_owner", "true"}});
  // Ten threads that ended inside their transactions, each after joining twice (one record each):
  // their records, and their places in the count of threads inside, go with the sweep of the 64th
  // record made, among seventy joins.
  EXPECT_RESULTS(r, {{"ended_records", "10"},
                     {"records_while_joined", "70"},
                     {"inside_while_joined", "70"},
                     {"records_after_sweep", "0"},
                     {"inside_after_sweep", "0"}});
  // The seventy given back are kept: records in use and spares stay within their peak of seventy.
  EXPECT_EQ(r["spares_after_leaves"], "70");
  EXPECT_TRUE(home.log().agent_errors().empty()) << home.log();
}

// A virtual thread's 200 ms wait is one long-wait record with its blocker: a platform holder (the
// JVM names it), a virtual holder inside a transaction (found among the monitors it owns), but
// not a virtual holder outside every transaction (a "no owner" detection). Its file reads count in
// its own transaction, those of a virtual thread outside every transaction nowhere.
TEST_P(TransactionsJvm, AVirtualThreadsWaitIsOneRecordWithItsBlocker) {
  VT_ONLY_ON_JDK(jdk.major >= 24);
  AgentHome home(true);
  auto r = virtual_scenario(home, "holders", {home.work()});
  for (const char *c : {"platform_holder.", "virtual_holder.", "outside_holder.", "platform_waiter."}) {
    const std::string p = c;
    SCOPED_TRACE(p);
    EXPECT_EQ(r[p + "shape"], "null,null,marker,1") << output();
    EXPECT_EQ(r[p + "thread"], p == "platform_waiter." ? "main" : "waiter");
    EXPECT_EQ(r[p + "method"], "waitForLock");
    EXPECT_EQ(r[p + "stack_top"].rfind("Lvorkel/test/TransactionScenarios;.waitForLock:", 0), 0u) << r[p + "stack_top"];
    EXPECT_GE(std::stol(r[p + "duration"]), 180);
    EXPECT_LT(std::stol(r[p + "duration"]), 400);
    EXPECT_EQ(r[p + "start_inside"], "true");
  }
  EXPECT_RESULTS(r, {{"platform_holder.blocker", "holder"},
                     {"platform_holder.blocker_stack_shows_holder", "true"},
                     {"virtual_holder.blocker", "virtual-holder"},
                     {"virtual_holder.blocker_stack_shows_holder", "true"},
                     {"platform_waiter.blocker", "virtual-holder"},
                     {"outside_holder.blocker", "null"},
                     {"reads.timings", "0,17,0,0"},
                     {"reads.row.read.bin.read-block", "17/65536"},
                     {"virtual_records_after", "0"}});
  EXPECT_GE(std::stoi(r["outside_holder.no_owner"]), 1);
  EXPECT_TRUE(home.log().agent_errors().empty()) << home.log();
}

// 10,000 virtual threads on 8 monitors, one in a hundred inside a transaction, blocker detection
// every 10 ms: every record is of its own thread and lies inside one of the waits that thread
// timed, no wait of 60 ms or more goes unrecorded, and some records are of waits that resumed on
// another carrier.
TEST_P(TransactionsJvm, TenThousandVirtualThreadsEachRecordInItsOwnTransaction) {
  VT_ONLY_ON_JDK(jdk.major >= 24);
  AgentHome home(true);
  auto r = virtual_scenario(home, "many", {"10000", "10"});
  std::cout << "[ virtual  ] transactions " << r["transactions"] << ", records " << r["records"] << ", with blocker "
            << r["blocked"] << ", resumed on another carrier " << r["moved"] << std::endl;
  EXPECT_RESULTS(r, {{"transactions", "100"},
                     {"foreign", "0"},
                     {"unmatched", "0"},
                     {"lost", "0"},
                     {"active_after", "0"},
                     {"virtual_records_after", "0"}});
  EXPECT_GT(std::stol(r["records"]), 20);
  EXPECT_GT(std::stol(r["blocked"]), 0);
  EXPECT_GT(std::stol(r["moved"]), 0);
  EXPECT_TRUE(home.log().agent_errors().empty()) << home.log();
}

TEST_P(TransactionsJvm, TheApiReportsTransactionsWithLongWaitsOrSlowOnesToTheCollector) {
  vt::TestCollector collector;
  AgentHome home(true);
  auto r = scenario(home, "reports", {}, {},
                    "host=127.0.0.1,port=" + std::to_string(collector.port()) + ",slowms=300,account=acc");
  EXPECT_EQ(r["active"], "true") << output();
  EXPECT_EQ(r["sent"], "true");
  std::vector<vt::HttpRequest> reports;
  for (const vt::HttpRequest &request : collector.requests()) {
    if (request.path == "/transaction/report") reports.push_back(request);
  }
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].method, "POST");
  EXPECT_EQ(reports[0].header("Content-Type"), "application/json; charset=utf-8");
  const std::string &checkout = reports[0].body;
  for (const char *part :
       {"\"report\":\"transaction\"", "\"name\":\"checkout\"", "\"thread\":\"main\"", "\"account\":\"acc\"",
        "\"reason\":\"lock wait\"", "\"rootCause\":true", "\"section\":\"lockWaits\"", "\"count\":1",
        "\"method\":\"waitForLock\"", "\"blocker\":\"holder\"", "Lvorkel/test/TransactionScenarios;.holdLock:"}) {
    EXPECT_TRUE(vt::contains(checkout, part)) << part << " in " << checkout;
  }
  EXPECT_TRUE(vt::contains(reports[1].body, "\"name\":\"slow\"")) << reports[1].body;
  EXPECT_TRUE(vt::contains(reports[1].body, "\"reason\":\"slow\",\"rootCause\":false")) << reports[1].body;
  EXPECT_TRUE(vt::contains(reports[2].body, "\"name\":\"outer\"")) << reports[2].body;
  EXPECT_TRUE(vt::contains(reports[2].body, "\"count\":1")) << reports[2].body;
  // The detection thread slept between the transactions and woke for this one.
  EXPECT_TRUE(vt::contains(reports[2].body, "\"blocker\":\"holder\"")) << reports[2].body;
}

}  // namespace
