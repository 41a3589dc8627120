// Allocation statistics in real JVMs through RuntimeStatistic: concurrent recording, counts after
// collection, the per-generation limit, high allocation points, cut texts, class loaders, the
// array calibration and bad input.
#include <gtest/gtest.h>

#include "jvm_test.h"

namespace {

using vt::AgentHome;

class StatisticsJvm : public vt::JvmTest {};
VT_JDK_TEST_SUITE(StatisticsJvm);

const std::vector<std::string> kNoErrors;

TEST_P(StatisticsJvm, ConcurrentRecordingCountsExactlyAndCollectionUncounts) {
  AgentHome home(true);
  auto results = run(home, "StatisticsScenarios.concurrent");
  EXPECT_RESULTS(results, {{"refused", "0"},
                           {"one_class_index", "true"},
                           {"tags_on_objects", "true"},
                           {"sequences_complete", "true"},
                           {"expected_added", "15200"},
                           {"live_added", "15200"},
                           {"total_added", "15200"},
                           {"widget_total", "12000"},
                           {"widget_live", "12000"},
                           {"widget_live_generations", "3"},
                           {"widget_array_type", "-1"},
                           {"generations_exact", "true"},
                           {"array_bytes_match", "true"},
                           {"widget_generation0_array_bytes", "0"}});

  EXPECT_RESULTS(results, {{"half_collected", "true"},
                           {"half_stays", "true"},
                           {"widget_live_after_half", "6000"},
                           {"widget_expected_after_half", "6000"},
                           {"widget_total_after_half", "12000"},
                           {"kept_per_generation_exact", "true"},
                           {"long_arrays_gone", "true"}});
  EXPECT_EQ(results["live_after_half"], results["expected_after_half"]);
  EXPECT_EQ(results["expected_after_half"], "8400");

  EXPECT_RESULTS(results, {{"all_collected", "true"},
                           {"all_stays", "true"},
                           {"generation_records_gone", "true"},
                           {"widget_end", "12000/0/0"},
                           {"total_kept", "15200"},
                           {"restart_sequence", "1"},
                           {"restart_same_key", "true"},
                           {"restart_object_tagged", "true"}});
  std::cout << "[ rounds   ] GC and heap call rounds until half were uncounted: " << results["half_rounds"]
            << std::endl;
  EXPECT_EQ(home.log().agent_errors(), kNoErrors);
}

TEST_P(StatisticsJvm, RecordingWhileOtherThreadsCollectEndsWithNothingLive) {
  AgentHome home(true);
  auto results = run(home, "StatisticsScenarios.churn");
  EXPECT_RESULTS(results,
                 {{"failure", "none"}, {"total_added", "60000"}, {"all_freed", "true"}, {"all_freed_stays", "true"}});
  EXPECT_EQ(home.log().agent_errors(), kNoErrors);
}

TEST_P(StatisticsJvm, InstanceSizeIsAskedOnceThirtyGenerationsAreLive) {
  AgentHome home(true);
  auto results = run(home, "StatisticsScenarios.instanceSize");
  EXPECT_RESULTS(results, {{"live_generations", "30"}, {"size_before_30", "-1"}, {"size_matches", "true"}});
}

TEST_P(StatisticsJvm, AGenerationKeyTakes4095InstancesUntilItsLastIsFreed) {
  AgentHome home(true);
  auto results = run(home, "StatisticsScenarios.limit");
  EXPECT_RESULTS(results, {{"accepted", "4095"},
                           {"sequence_range", "1-4095"},
                           {"over_limit", "-1"},
                           {"over_limit_wrapped_generation", "-1"},
                           {"refused_untagged", "0"},
                           {"refusal_uncounted", "true"},
                           {"full_generation", "[4095, 4095, 4095, 0]"},
                           {"other_generation_sequence", "1"},
                           {"all_but_one_collected", "true"},
                           {"still_refused", "-1"},
                           {"last_collected", "true"},
                           {"fresh_sequence", "1"},
                           {"fresh_generation", "[1, 1, 1, 0]"},
                           {"other_alive", "true"}});
  EXPECT_EQ(home.log().agent_errors(), kNoErrors);
}

TEST_P(StatisticsJvm, HighAllocationPointsAreNegativeIdsAndStillFoundByName) {
  AgentHome home(true);
  auto results = run(home, "StatisticsScenarios.highPoints");
  EXPECT_EQ(results["tagged"], "true") << output();
  EXPECT_EQ(results["id_negative"], "true");
  EXPECT_EQ(results["id_hex"].substr(0, 6), "0x8140");  // point 4136 << 19
  EXPECT_RESULTS(results, {{"listed_negative", "true"},
                           {"name_by_id", "high.Point"},
                           {"birthplace_by_id", "born high"},
                           {"name_by_unsigned_id", "high.Point"},
                           {"unknown_name", "null"},
                           {"wrapped_point", "40"},
                           {"negative_id_freed", "true"},
                           {"negative_id_total", "1"},
                           {"wrapped_alive", "true"}});
  EXPECT_EQ(home.log().agent_errors(), kNoErrors);
}

TEST_P(StatisticsJvm, NamesAndBirthplacesAreCutWithoutSplittingCharacters) {
  AgentHome home(true);
  auto results = run(home, "StatisticsScenarios.texts");
  EXPECT_RESULTS(results, {{"name_length", "1023"},
                           {"birthplace_length", "2047"},
                           {"name_prefix", "true"},
                           {"birthplace_prefix", "true"},
                           {"string_bytes_added", "3072"},
                           {"exact_lengths", "1023/2047"},
                           {"wide_name", "1022"},
                           {"wide_birthplace", "2046"},
                           {"fitting_wide_name", "true"},
                           {"fitting_wide_birthplace", "\u20ac\u20ac"},
                           {"first_texts_kept", "true"},
                           {"alive", "true"}});
}

TEST_P(StatisticsJvm, AFollowedClassLoaderMovesItsTrackerEntryAndIsForgottenWhenFreed) {
  AgentHome home(true);
  auto results = run(home, "StatisticsScenarios.classLoader");
  EXPECT_RESULTS(results, {{"is_classloader_url", "true"},
                           {"is_classloader_base", "true"},
                           {"is_classloader_string", "false"},
                           {"is_classloader_null", "false"},
                           {"tracker_kind", "3"},
                           {"tracked_before", "true"},
                           {"statistics_tag_on_loader", "true"},
                           {"old_entry_gone", "true"},
                           {"entry_moved", "true"},
                           {"allocation_is_classloader", "1"},
                           {"key_kept", "true"},
                           {"idle_tagged", "true"},
                           {"loader_forgotten", "true"},
                           {"loader_total", "2"}});
  std::cout << "[ rounds   ] GC and heap call rounds until the loader was forgotten: " << results["loader_rounds"]
            << std::endl;
  EXPECT_EQ(home.log().agent_errors(), kNoErrors);
}

TEST_P(StatisticsJvm, ClassIndexesAreReadThroughASnapshotsTemporaryTags) {
  AgentHome home(true);
  auto results = run(home, "StatisticsScenarios.underSnapshot");
  EXPECT_RESULTS(results, {{"class_hidden", "true"},
                           {"index_through_backup", "true"},
                           {"same_allocation", "true"},
                           {"untagged_refused", "-1"},
                           {"temporary_tag_kept", "true"}});
  std::vector<std::string> errors = home.log().agent_errors();
  ASSERT_EQ(errors.size(), 1u) << testing::PrintToString(errors);
  EXPECT_TRUE(vt::contains(errors[0], "ERROR - Failed to get tag for class. (stats_record_instance:")) << errors[0];
}

TEST_P(StatisticsJvm, CalibrationFollowsTheJvmsArraySizes) {
  AgentHome home(true);
  auto results = run(home, "StatisticsScenarios.calibration");
  // Measured at the agent's start: instances recorded before any RuntimeStatistic.record call
  // (or without one) get their array sizes from the JVM's layout, not from the defaults.
  EXPECT_EQ(results["layout_before"], results["layout"]) << output();
  EXPECT_EQ(results["layout_follows_jvm"], "true") << results["jvm_sizes"] << " " << results["layout"];
  EXPECT_EQ(results["size_mismatches"], "0") << results["first_mismatch"];
  EXPECT_EQ(results["other_code"], "0");
  if (jdk().major == 17) {
    // Compressed class pointers and references: 16-byte headers with padding after the length.
    EXPECT_EQ(results["jvm_sizes"], "16,24,16,24,80");
    EXPECT_EQ(results["layout"], "[16, 16, 4]");  // not the defaults [16, 16, 8]
  }
  std::cout << "[ layout   ] " << jdk().name << ": JVM sizes " << results["jvm_sizes"] << ", layout "
            << results["layout"] << std::endl;
}

TEST_P(StatisticsJvm, CalibrationFollowsOtherObjectLayouts) {
  struct layout_case {
    std::vector<std::string> flags;
    std::string jvm_sizes;
    std::string layout;
  };
  std::vector<layout_case> cases = {
      // Eight-byte references.
      {{"-XX:-UseCompressedOops"}, "16,24,16,24,144", "[16, 16, 8]"},
  };
  // Eight-byte class pointers: the length ends at byte 20. JDK 17 starts every array's elements at
  // byte 24; later JDKs start int and reference elements at 20, so an int[1] is as large as an int[0].
  if (jdk().major == 17) {
    cases.push_back({{"-XX:-UseCompressedClassPointers"}, "24,32,24,32,88", "[24, 24, 4]"});
  } else if (jdk().major >= 22) {
    cases.push_back({{"-XX:-UseCompressedClassPointers"}, "24,24,24,24,88", "[20, 20, 4]"});
  }
  if (jdk().major >= 24) {
    // Compact headers: 12 bytes before the elements, an int[1] as large as an int[0] (16 bytes).
    cases.push_back(
        {{"-XX:+UnlockExperimentalVMOptions", "-XX:+UseCompactObjectHeaders"}, "16,16,16,16,80", "[12, 12, 4]"});
  }
  for (const layout_case &c : cases) {
    AgentHome home(true);
    auto results = run(home, "StatisticsScenarios.calibration", {.jvm_flags = c.flags});
    SCOPED_TRACE(testing::PrintToString(c.flags));
    EXPECT_EQ(results["jvm_sizes"], c.jvm_sizes) << output();
    EXPECT_EQ(results["layout"], c.layout);
    EXPECT_EQ(results["layout_follows_jvm"], "true");
    EXPECT_EQ(results["size_mismatches"], "0") << results["first_mismatch"];
    std::cout << "[ layout   ] " << jdk().name << " " << testing::PrintToString(c.flags) << ": JVM sizes "
              << results["jvm_sizes"] << ", layout " << results["layout"] << std::endl;
  }
}

TEST_P(StatisticsJvm, BadInputIsRefusedWithALogLineAndMemoryIsCounted) {
  AgentHome home(true);
  auto results = run(home, "StatisticsScenarios.badInput");
  for (const char *refused : {"null_instance", "null_class", "null_name", "null_birthplace", "reserved_point",
                              "reserved_point_high_bits", "null_wrapper", "class_object", "class_object_with_index"}) {
    EXPECT_EQ(results[refused], "-1") << refused << "\n" << output();
  }
  EXPECT_RESULTS(results, {{"nothing_counted", "true"},
                           {"untagged", "0"},
                           {"index_without_class", "true"},
                           {"index_without_class_loader", "true"},
                           {"class_index_kept", "true"},
                           {"untagged_class_gets_index", "true"},
                           {"still_counted", "true"},
                           {"usage_per_ten", "260"}});
  EXPECT_EQ(results["usage_new_allocation"], "33");  // "abc" and "de" with their terminators, one live tag
  EXPECT_EQ(results["usage_matches_totals"], "true");
  EXPECT_EQ(results["alive"], "true");

  vt::NativeLog log = home.log();
  auto one = [&](const std::string &part) { EXPECT_EQ(log.count(part), 1u) << part << "\n" << log; };
  // Directly and through the wrapper.
  EXPECT_EQ(log.count("ERROR - Cannot record a null instance (allocation point 70). (stats_record_instance:"), 2u)
      << log;
  one("ERROR - Cannot record an instance with neither a class nor a class index (allocation point 70).");
  one("ERROR - Cannot record an instance without a class name (allocation point 70).");
  one("ERROR - Cannot record an instance without a birthplace (allocation point 70).");
  one("ERROR - Cannot record an instance under allocation point 5: its low 13 bits must be 32 or more.");
  one("ERROR - Cannot record an instance under allocation point 8195: its low 13 bits must be 32 or more.");
  EXPECT_EQ(log.count("ERROR - Cannot record a Class object: its tag is a class index (allocation point 74)."), 2u)
      << log;
  std::string unknown = results["unknown_free_tag"];
  one("ERROR - [" + unknown + "] [" + unknown +
      "] [40370181] Generation (nil) (should be non-NULL), count 0 "
      "(should be above 0), allocation (nil) (should be non-NULL).");
  EXPECT_EQ(log.agent_errors().size(), 10u) << log;
}

}  // namespace
