// Object tags, the class loader tracker, the class-loading natives, thread records and stack texts
// in real JVMs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "jvm.h"

namespace {

using vt::AgentHome;
using vt::JvmOptions;

class TagsThreadsJvm : public ::testing::TestWithParam<vt::Jdk> {
 protected:
  std::map<std::string, std::string> run(AgentHome &home, const std::string &scenario,
                                         std::vector<std::string> extra = {}, bool javaagent = true) {
    JvmOptions options;
    options.javaagent = javaagent;
    options.args = {"TagsThreads." + scenario};
    for (const std::string &arg : extra) options.args.push_back(arg);
    vt::ProcessResult result = vt::run_jvm(GetParam(), home, options);
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(result.signal, 0);
    out_ = result.out;
    return vt::scenario_results(result.out);
  }
  std::string out_;
};

INSTANTIATE_TEST_SUITE_P(Jdks, TagsThreadsJvm, ::testing::ValuesIn(vt::available_jdks()),
                         [](const auto &info) { return vt::jdk_test_name(info.param); });

TEST_P(TagsThreadsJvm, LoadersAreTaggedTrackedAndForgottenWhenFreed) {
  AgentHome home(true);
  auto results = run(home, "loaders");
  EXPECT_EQ(results["app_loader_tag"], "0x0000000200180000") << out_;
  EXPECT_EQ(results["app_loader_tracked"], "true");
  EXPECT_EQ(results["custom_loader_kind"], "3");
  EXPECT_EQ(results["custom_loader_number_above_app"], "true");
  EXPECT_EQ(results["custom_loader_tracked"], "true");
  EXPECT_EQ(results["first_seen_kept"], "true");
  EXPECT_EQ(results["tag_kept"], "true");
  EXPECT_EQ(results["linked_custom"], "true");
  EXPECT_EQ(results["bootstrap_loaded"], "true");
  EXPECT_EQ(results["bootstrap_not_linked"], "true");
  EXPECT_EQ(results["bootstrap_not_tracked"], "true");
  EXPECT_EQ(results["update_moves_entry"], "true");
  EXPECT_EQ(results["update_of_unknown_ignored"], "true");
  EXPECT_EQ(results["collected_forgotten"], "true") << out_;
  EXPECT_EQ(results["app_loader_still_tracked"], "true");
  EXPECT_EQ(results["temporary_kind"], "4");
  EXPECT_EQ(results["temporary_on_object"], "true");
  EXPECT_EQ(results["temporary_translates"], "true");
  EXPECT_EQ(results["temporary_stored"], "true");
  EXPECT_EQ(results["prepare_under_temporary_keeps_key"], "true");
  EXPECT_EQ(results["temporary_collected_forgotten"], "true") << out_;
  std::cout << "[ rounds   ] GC and heap call rounds until the tracker forgot the loader: "
            << results["collected_rounds"] << std::endl;
  std::string log = home.native_log();
  EXPECT_TRUE(vt::agent_errors(log).empty()) << log;
}

TEST_P(TagsThreadsJvm, ClassLoadsReachOnlyTheAttachedReceiver) {
  AgentHome home(true);
  auto results = run(home, "beforeAttach", {home.home(), home.lib()}, false);
  EXPECT_EQ(results["started"], "0") << out_;
  EXPECT_EQ(results["tracked_before_attach"], "true");
  EXPECT_EQ(results["seen_before_attach"], "0");
  EXPECT_EQ(results["seen_after_attach"], "true");
  EXPECT_EQ(results["bootstrap_seen"], "false");
  EXPECT_EQ(results["replaced_receiver"], "true");
}

TEST_P(TagsThreadsJvm, AFailingListenerDoesNotBreakTheApplicationsClassLoad) {
  AgentHome home(true);
  auto results = run(home, "throwingListener");
  EXPECT_EQ(results["load_despite_listener"], "vorkel.test.CustomLoaded") << out_;
  EXPECT_EQ(results["value_call"], "4711");
  std::vector<std::string> lines = vt::log_lines_with(home.native_log(), "onClassLinked threw");
  ASSERT_EQ(lines.size(), 1u) << home.native_log();
  EXPECT_TRUE(vt::contains(lines[0], "ERROR - onClassLinked threw Ljava/lang/IllegalStateException; for class "
                                     "Lvorkel/test/CustomLoaded;; the exception was cleared and the class load goes "
                                     "on. (cltracker_class_load_event:80)"))
      << lines[0];
}

TEST_P(TagsThreadsJvm, DefineClassUsesTheGivenRangeAndRefusesBadInput) {
  AgentHome home(true);
  auto results = run(home, "defineClass");
  EXPECT_EQ(results["defined_name"], "vorkel.test.CustomLoaded") << out_;
  EXPECT_EQ(results["defined_in_target"], "true");
  EXPECT_EQ(results["defined_value"], "4711");
  EXPECT_EQ(results["array_unchanged"], "true");
  for (const char *refused : {"null_name", "null_bytes", "negative_offset", "negative_length", "beyond_end",
                              "overflowing_range", "junk_bytes", "empty_range", "duplicate"}) {
    EXPECT_EQ(results[refused], "null") << refused;  // null, and no exception left pending
  }
  EXPECT_EQ(results["still_defines"], "vorkel.test.CustomLoaded");
  std::string log = home.native_log();
  EXPECT_EQ(vt::log_lines_with(log, "ERROR - Unwrapping defineClass name or buffer argument failed.").size(), 2u) << log;
  EXPECT_EQ(vt::log_lines_with(log, "lie outside the byte array").size(), 4u) << log;
  EXPECT_EQ(vt::log_lines_with(log, "Cannot define class vorkel/test/CustomLoaded: offset 2147483647 and length 10 lie "
                                    "outside the byte array of")
                .size(),
            1u);
  EXPECT_EQ(vt::log_lines_with(log, "ERROR - Failed to define class vorkel/test/CustomLoaded in target classloader.")
                .size(),
            3u)
      << log;
}

TEST_P(TagsThreadsJvm, AddModuleReadOpensAReadAndRefusesNonModules) {
  AgentHome home(true);
  auto results = run(home, "modules");
  EXPECT_EQ(results["reads_before"], "false");
  EXPECT_EQ(results["added"], "true");
  EXPECT_EQ(results["reads_after"], "true");
  EXPECT_EQ(results["null_module"], "VorkelException:addModuleRead: the module is null");
  EXPECT_EQ(results["null_other"], "VorkelException:addModuleRead: the other module is null");
  EXPECT_TRUE(vt::contains(results["not_a_module"], "VorkelException:ERROR: JVMTI: ")) << results["not_a_module"];
  EXPECT_TRUE(vt::contains(results["not_a_module"], "Failed to add module read.")) << results["not_a_module"];
}

TEST_P(TagsThreadsJvm, StackTextsHaveExactLinesAndAreCutToWholeLines) {
  AgentHome home(true);
  auto results = run(home, "stacks");
  EXPECT_EQ(results["well_formed"], "true") << out_;
  EXPECT_EQ(results["native_frame"], "Lvorkel/test/TagThreadProbe;.stackText:-1(-1)");
  EXPECT_EQ(results["java_frames_agree"], "true") << out_;
  EXPECT_EQ(results["caller_line_positive"], "true");
  EXPECT_EQ(results["deep_count"], "200");
  EXPECT_EQ(results["deep_top_frames"], "true");
  EXPECT_EQ(results["cut_is_prefix"], "true");
  EXPECT_EQ(results["cut_ends_with_whole_line"], "true");
  EXPECT_EQ(results["cut_next_line_would_not_fit"], "true");
  EXPECT_EQ(results["cut_well_formed"], "true");
  EXPECT_EQ(results["tiny_storage_empty"], "true");
  EXPECT_EQ(results["other_well_formed"], "true");
  EXPECT_EQ(results["other_park_line"], "true") << out_;
  EXPECT_EQ(results["other_native_park"], "true") << out_;
  EXPECT_EQ(results["facts_id"], "true");
  EXPECT_EQ(results["facts_name"], "probe-parked");
  EXPECT_EQ(results["facts_state_parked"], "true");
  EXPECT_EQ(results["facts_current_id"], "true");
  EXPECT_EQ(results["main_not_compiler_thread"], "true");
  // An ended thread has no stack to give (logged) and only the terminated state.
  EXPECT_EQ(results["ended_thread_text"], "null");
  EXPECT_EQ(results["ended_thread_state"], "2");  // JVMTI_THREAD_STATE_TERMINATED
  std::vector<std::string> errors = vt::agent_errors(home.native_log());
  ASSERT_EQ(errors.size(), 1u) << home.native_log();
  EXPECT_TRUE(vt::contains(errors[0], "ERROR: JVMTI: 15(JVMTI_ERROR_THREAD_NOT_ALIVE): GetThreadListStackTraces failed."))
      << errors[0];
}

TEST_P(TagsThreadsJvm, ThreadDumpListsEveryLiveThread) {
  AgentHome home(true);
  auto results = run(home, "threadDump");
  EXPECT_EQ(results["dump_has_every_live_thread"], "true") << out_;
  EXPECT_EQ(results["dump_has_workers"], "true");
  EXPECT_EQ(results["dump_well_formed"], "true");
  EXPECT_EQ(results["dump_index_refused"], "true");
  EXPECT_EQ(results["dump_worker_park_line"], "true") << out_;
  EXPECT_EQ(results["dump_native_frame"], "true") << out_;
  EXPECT_EQ(results["dump_small_whole_lines"], "true");
  EXPECT_GE(std::stoi(results["java_thread_count"]), 5);
}

TEST_P(TagsThreadsJvm, AThreadThatEndedMakesNoNewRecordUntilItAttachesAgain) {
  AgentHome home(true);
  auto results = run(home, "nativeThreads");
  EXPECT_EQ(results["native_cycle"],
            "first_record=true;marker_after_end=true;no_record_after_end=true;still_marker=true;"
            "slot_cleared_on_start=true;fresh_record=true;not_compiler=true;marker_after_second_end=true;")
      << out_;
}

// The agent jar rebuilt with DeferredTransformationNativeImpl replaced by a class without
// onClassLinked; the tracker's start must then fail the agent's start. (Without the class at all
// the jar's premain cannot even link.)
std::string jdk_tool(const std::string &name) { return vt::reference_jdk().home + "/bin/" + name; }

void rebuild_agent_jar_without_on_class_linked(const AgentHome &home) {
  vt::TempDir work("vorkel-jar");
  std::string classes = work / "classes";
  ASSERT_EQ(mkdir(classes.c_str(), 0755), 0);
  vt::ProcessOptions in_classes;
  in_classes.cwd = classes;
  vt::ProcessResult extract = vt::run_process(jdk_tool("jar"), {"jar", "xf", vt::agent_jar()}, in_classes);
  ASSERT_EQ(extract.exit_code, 0) << extract.err;
  const std::string deferred = "vorkel/runtime/agent/instrumentation/deferred/DeferredTransformationNativeImpl";
  ASSERT_EQ(unlink((classes + "/" + deferred + ".class").c_str()), 0);
  {
    std::string source = work / "DeferredTransformationNativeImpl.java";
    ASSERT_TRUE(vt::write_file(source,
                               "package vorkel.runtime.agent.instrumentation.deferred;\n"
                               "public class DeferredTransformationNativeImpl {\n"
                               "    public native void attach();\n"
                               "}\n"));
    vt::ProcessResult compiled =
        vt::run_process(jdk_tool("javac"), {"javac", "--release", "11", "-d", classes, source});
    ASSERT_EQ(compiled.exit_code, 0) << compiled.err;
  }
  std::string jar = work / "agent.jar";
  vt::ProcessResult packed = vt::run_process(
      jdk_tool("jar"), {"jar", "cfm", jar, classes + "/META-INF/MANIFEST.MF", "-C", classes, "."});
  ASSERT_EQ(packed.exit_code, 0) << packed.err;
  ASSERT_TRUE(vt::copy_file(jar, home.jar()));
}

TEST_P(TagsThreadsJvm, StartFailsWithoutOnClassLinked) {
  AgentHome home(false);
  rebuild_agent_jar_without_on_class_linked(home);
  JvmOptions options;
  options.args = {"start"};
  vt::ProcessResult result = vt::run_jvm(GetParam(), home, options);
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  auto results = vt::scenario_results(result.out);
  EXPECT_EQ(results["start"], "-1") << result.out << result.err;
  EXPECT_EQ(vt::log_lines_with(home.native_log(), "ERROR - Failed to find DeferredTransformationNativeImpl method "
                                                  "onClassLinked (cltracker_initialise:35)")
                .size(),
            1u)
      << home.native_log();
}

}  // namespace
