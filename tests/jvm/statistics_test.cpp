// Allocation statistics in real JVMs through RuntimeStatistic: concurrent recording, counts after
// collection, the per-generation limit, high allocation points, cut texts, class loaders, the
// array calibration and bad input.
#include <gtest/gtest.h>

#include "jvm.h"

namespace {

using vt::AgentHome;
using vt::JvmOptions;

class StatisticsJvm : public ::testing::TestWithParam<vt::Jdk> {
 protected:
  std::map<std::string, std::string> run(AgentHome &home, const std::string &scenario,
                                         std::vector<std::string> jvm_flags = {}) {
    JvmOptions options;
    options.args = {"StatisticsScenarios." + scenario};
    options.jvm_flags = std::move(jvm_flags);
    vt::ProcessResult result;
    auto results = vt::run_scenario(GetParam(), home, options, &result);
    out_ = result.out;
    return results;
  }
  std::string errors(const AgentHome &home) { return testing::PrintToString(vt::agent_errors(home.native_log())); }
  std::string out_;
};

INSTANTIATE_TEST_SUITE_P(Jdks, StatisticsJvm, ::testing::ValuesIn(vt::available_jdks()),
                         [](const auto &info) { return vt::jdk_test_name(info.param); });

TEST_P(StatisticsJvm, ConcurrentRecordingCountsExactlyAndCollectionUncounts) {
  AgentHome home(true);
  auto results = run(home, "concurrent");
  EXPECT_EQ(results["refused"], "0") << out_;
  EXPECT_EQ(results["one_class_index"], "true");
  EXPECT_EQ(results["tags_on_objects"], "true");
  EXPECT_EQ(results["sequences_complete"], "true");
  EXPECT_EQ(results["expected_added"], "15200");
  EXPECT_EQ(results["live_added"], "15200");
  EXPECT_EQ(results["total_added"], "15200");
  EXPECT_EQ(results["widget_total"], "12000");
  EXPECT_EQ(results["widget_live"], "12000");
  EXPECT_EQ(results["widget_live_generations"], "3");
  EXPECT_EQ(results["widget_array_type"], "-1");
  EXPECT_EQ(results["generations_exact"], "true");
  EXPECT_EQ(results["array_bytes_match"], "true") << out_;
  EXPECT_EQ(results["widget_generation0_array_bytes"], "0");

  EXPECT_EQ(results["half_collected"], "true") << out_;
  EXPECT_EQ(results["half_stays"], "true");
  EXPECT_EQ(results["widget_live_after_half"], "6000");
  EXPECT_EQ(results["widget_expected_after_half"], "6000");
  EXPECT_EQ(results["widget_total_after_half"], "12000");
  EXPECT_EQ(results["kept_per_generation_exact"], "true");
  EXPECT_EQ(results["long_arrays_gone"], "true");
  EXPECT_EQ(results["live_after_half"], results["expected_after_half"]);
  EXPECT_EQ(results["expected_after_half"], "8400");

  EXPECT_EQ(results["all_collected"], "true") << out_;
  EXPECT_EQ(results["all_stays"], "true");
  EXPECT_EQ(results["generation_records_gone"], "true");
  EXPECT_EQ(results["widget_end"], "12000/0/0");
  EXPECT_EQ(results["total_kept"], "15200");
  EXPECT_EQ(results["restart_sequence"], "1");
  EXPECT_EQ(results["restart_same_key"], "true");
  EXPECT_EQ(results["restart_object_tagged"], "true");
  std::cout << "[ rounds   ] GC and heap call rounds until half were uncounted: " << results["half_rounds"]
            << std::endl;
  EXPECT_EQ(errors(home), "{}");
}

TEST_P(StatisticsJvm, RecordingWhileOtherThreadsCollectEndsWithNothingLive) {
  AgentHome home(true);
  auto results = run(home, "churn");
  EXPECT_EQ(results["failure"], "none") << out_;
  EXPECT_EQ(results["total_added"], "60000");
  EXPECT_EQ(results["all_freed"], "true");
  EXPECT_EQ(results["all_freed_stays"], "true");
  EXPECT_EQ(errors(home), "{}");
}

TEST_P(StatisticsJvm, InstanceSizeIsAskedOnceThirtyGenerationsAreLive) {
  AgentHome home(true);
  auto results = run(home, "instanceSize");
  EXPECT_EQ(results["live_generations"], "30") << out_;
  EXPECT_EQ(results["size_before_30"], "-1");
  EXPECT_EQ(results["size_matches"], "true");
}

TEST_P(StatisticsJvm, AGenerationKeyTakes4095InstancesUntilItsLastIsFreed) {
  AgentHome home(true);
  auto results = run(home, "limit");
  EXPECT_EQ(results["accepted"], "4095") << out_;
  EXPECT_EQ(results["sequence_range"], "1-4095");
  EXPECT_EQ(results["over_limit"], "-1");
  EXPECT_EQ(results["over_limit_wrapped_generation"], "-1");
  EXPECT_EQ(results["refused_untagged"], "0");
  EXPECT_EQ(results["refusal_uncounted"], "true");
  EXPECT_EQ(results["full_generation"], "[4095, 4095, 4095, 0]");
  EXPECT_EQ(results["other_generation_sequence"], "1");
  EXPECT_EQ(results["all_but_one_collected"], "true") << out_;
  EXPECT_EQ(results["still_refused"], "-1");
  EXPECT_EQ(results["last_collected"], "true");
  EXPECT_EQ(results["fresh_sequence"], "1");
  EXPECT_EQ(results["fresh_generation"], "[1, 1, 1, 0]");
  EXPECT_EQ(results["other_alive"], "true");
  EXPECT_EQ(errors(home), "{}");
}

TEST_P(StatisticsJvm, HighAllocationPointsAreNegativeIdsAndStillFoundByName) {
  AgentHome home(true);
  auto results = run(home, "highPoints");
  EXPECT_EQ(results["tagged"], "true") << out_;
  EXPECT_EQ(results["id_negative"], "true");
  EXPECT_EQ(results["id_hex"].substr(0, 6), "0x8140");  // point 4136 << 19
  EXPECT_EQ(results["listed_negative"], "true");
  EXPECT_EQ(results["name_by_id"], "high.Point");
  EXPECT_EQ(results["birthplace_by_id"], "born high");
  EXPECT_EQ(results["name_by_unsigned_id"], "high.Point");
  EXPECT_EQ(results["unknown_name"], "null");
  EXPECT_EQ(results["wrapped_point"], "40");
  EXPECT_EQ(results["negative_id_freed"], "true");
  EXPECT_EQ(results["negative_id_total"], "1");
  EXPECT_EQ(results["wrapped_alive"], "true");
  EXPECT_EQ(errors(home), "{}");
}

TEST_P(StatisticsJvm, NamesAndBirthplacesAreCutWithoutSplittingCharacters) {
  AgentHome home(true);
  auto results = run(home, "texts");
  EXPECT_EQ(results["name_length"], "1023") << out_;
  EXPECT_EQ(results["birthplace_length"], "2047");
  EXPECT_EQ(results["name_prefix"], "true");
  EXPECT_EQ(results["birthplace_prefix"], "true");
  EXPECT_EQ(results["string_bytes_added"], "3072");
  EXPECT_EQ(results["exact_lengths"], "1023/2047");
  EXPECT_EQ(results["wide_name"], "1022");
  EXPECT_EQ(results["wide_birthplace"], "2046");
  EXPECT_EQ(results["fitting_wide_name"], "true");
  EXPECT_EQ(results["fitting_wide_birthplace"], "\u20ac\u20ac");
  EXPECT_EQ(results["first_texts_kept"], "true");
  EXPECT_EQ(results["alive"], "true");
}

TEST_P(StatisticsJvm, AFollowedClassLoaderMovesItsTrackerEntryAndIsForgottenWhenFreed) {
  AgentHome home(true);
  auto results = run(home, "classLoader");
  EXPECT_EQ(results["is_classloader_url"], "true") << out_;
  EXPECT_EQ(results["is_classloader_base"], "true");
  EXPECT_EQ(results["is_classloader_string"], "false");
  EXPECT_EQ(results["is_classloader_null"], "false");
  EXPECT_EQ(results["tracker_kind"], "3");
  EXPECT_EQ(results["tracked_before"], "true");
  EXPECT_EQ(results["statistics_tag_on_loader"], "true");
  EXPECT_EQ(results["old_entry_gone"], "true");
  EXPECT_EQ(results["entry_moved"], "true");
  EXPECT_EQ(results["allocation_is_classloader"], "1");
  EXPECT_EQ(results["key_kept"], "true");
  EXPECT_EQ(results["idle_tagged"], "true");
  EXPECT_EQ(results["loader_forgotten"], "true") << out_;
  EXPECT_EQ(results["loader_total"], "2");
  std::cout << "[ rounds   ] GC and heap call rounds until the loader was forgotten: " << results["loader_rounds"]
            << std::endl;
  EXPECT_EQ(errors(home), "{}");
}

TEST_P(StatisticsJvm, ClassIndexesAreReadThroughASnapshotsTemporaryTags) {
  AgentHome home(true);
  auto results = run(home, "underSnapshot");
  EXPECT_EQ(results["class_hidden"], "true") << out_;
  EXPECT_EQ(results["index_through_backup"], "true");
  EXPECT_EQ(results["same_allocation"], "true");
  EXPECT_EQ(results["untagged_refused"], "-1");
  EXPECT_EQ(results["temporary_tag_kept"], "true");
  std::vector<std::string> errors = vt::agent_errors(home.native_log());
  ASSERT_EQ(errors.size(), 1u) << testing::PrintToString(errors);
  EXPECT_TRUE(vt::contains(errors[0], "ERROR - Failed to get tag for class. (stats_record_instance:")) << errors[0];
}

TEST_P(StatisticsJvm, CalibrationFollowsTheJvmsArraySizes) {
  AgentHome home(true);
  auto results = run(home, "calibration");
  EXPECT_EQ(results["layout_before"], "[16, 16, 8]") << out_;
  EXPECT_EQ(results["layout_follows_jvm"], "true") << results["jvm_sizes"] << " " << results["layout"];
  EXPECT_EQ(results["size_mismatches"], "0") << results["first_mismatch"];
  EXPECT_EQ(results["other_code"], "0");
  if (GetParam().major == 17) {
    // Compressed class pointers and references: 16-byte headers with padding after the length.
    EXPECT_EQ(results["jvm_sizes"], "16,24,16,24,80");
    EXPECT_EQ(results["layout"], "[16, 16, 4]");
  }
  std::cout << "[ layout   ] " << GetParam().name << ": JVM sizes " << results["jvm_sizes"] << ", layout "
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
  if (GetParam().major == 17) {
    cases.push_back({{"-XX:-UseCompressedClassPointers"}, "24,32,24,32,88", "[24, 24, 4]"});
  } else if (GetParam().major >= 22) {
    cases.push_back({{"-XX:-UseCompressedClassPointers"}, "24,24,24,24,88", "[20, 20, 4]"});
  }
  if (GetParam().major >= 24) {
    // Compact headers: 12 bytes before the elements, an int[1] as large as an int[0] (16 bytes).
    cases.push_back({{"-XX:+UnlockExperimentalVMOptions", "-XX:+UseCompactObjectHeaders"}, "16,16,16,16,80",
                     "[12, 12, 4]"});
  }
  for (const layout_case &c : cases) {
    AgentHome home(true);
    auto results = run(home, "calibration", c.flags);
    SCOPED_TRACE(testing::PrintToString(c.flags));
    EXPECT_EQ(results["jvm_sizes"], c.jvm_sizes) << out_;
    EXPECT_EQ(results["layout"], c.layout);
    EXPECT_EQ(results["layout_follows_jvm"], "true");
    EXPECT_EQ(results["size_mismatches"], "0") << results["first_mismatch"];
    std::cout << "[ layout   ] " << GetParam().name << " " << testing::PrintToString(c.flags) << ": JVM sizes "
              << results["jvm_sizes"] << ", layout " << results["layout"] << std::endl;
  }
}

TEST_P(StatisticsJvm, BadInputIsRefusedWithALogLineAndMemoryIsCounted) {
  AgentHome home(true);
  auto results = run(home, "badInput");
  for (const char *refused : {"null_instance", "null_class", "null_name", "null_birthplace", "reserved_point",
                              "reserved_point_high_bits", "null_wrapper"}) {
    EXPECT_EQ(results[refused], "-1") << refused << "\n" << out_;
  }
  EXPECT_EQ(results["nothing_counted"], "true");
  EXPECT_EQ(results["untagged"], "0");
  EXPECT_EQ(results["index_without_class"], "true");
  EXPECT_EQ(results["index_without_class_loader"], "true");
  EXPECT_EQ(results["still_counted"], "true");
  EXPECT_EQ(results["usage_per_ten"], "260");
  EXPECT_EQ(results["usage_new_allocation"], "33");  // "abc" and "de" with their terminators, one live tag
  EXPECT_EQ(results["usage_matches_totals"], "true");
  EXPECT_EQ(results["alive"], "true");

  std::string log = home.native_log();
  auto one = [&](const std::string &part) { EXPECT_EQ(vt::log_lines_with(log, part).size(), 1u) << part << "\n" << log; };
  // Directly and through the wrapper.
  EXPECT_EQ(vt::log_lines_with(log, "ERROR - Cannot record a null instance (allocation point 70). (stats_record_instance:")
                .size(),
            2u)
      << log;
  one("ERROR - Cannot record an instance with neither a class nor a class index (allocation point 70).");
  one("ERROR - Cannot record an instance without a class name (allocation point 70).");
  one("ERROR - Cannot record an instance without a birthplace (allocation point 70).");
  one("ERROR - Cannot record an instance under allocation point 5: its low 13 bits must be 32 or more.");
  one("ERROR - Cannot record an instance under allocation point 8195: its low 13 bits must be 32 or more.");
  std::string unknown = results["unknown_free_tag"];
  one("ERROR - [" + unknown + "] [" + unknown + "] [40370181] Generation (nil) (should be non-NULL), count 0 "
      "(should be above 0), allocation (nil) (should be non-NULL).");
  EXPECT_EQ(vt::agent_errors(log).size(), 8u) << log;
}

}  // namespace
