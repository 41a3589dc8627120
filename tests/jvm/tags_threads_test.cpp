// Object tags, the class loader tracker, the class-loading natives, thread records and stack texts
// in real JVMs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>

#include "jvm_test.h"

namespace {

using vt::AgentHome;

class TagsThreadsJvm : public vt::JvmTest {};
VT_JDK_TEST_SUITE(TagsThreadsJvm);

TEST_P(TagsThreadsJvm, LoadersAreTaggedTrackedAndForgottenWhenFreed) {
  AgentHome home(true);
  auto results = run(home, "TagsThreads.loaders");
  EXPECT_RESULTS(results, {{"app_loader_tag", "0x0000000200180000"},
                           {"app_loader_tracked", "true"},
                           {"custom_loader_kind", "3"},
                           {"custom_loader_number_above_app", "true"},
                           {"custom_loader_tracked", "true"},
                           {"first_seen_kept", "true"},
                           {"tag_kept", "true"},
                           {"linked_custom", "true"},
                           {"bootstrap_loaded", "true"},
                           {"bootstrap_not_linked", "true"},
                           {"bootstrap_not_tracked", "true"},
                           {"update_moves_entry", "true"},
                           {"update_of_unknown_ignored", "true"},
                           {"collected_forgotten", "true"},
                           {"app_loader_still_tracked", "true"},
                           {"temporary_kind", "4"},
                           {"temporary_on_object", "true"},
                           {"temporary_translates", "true"},
                           {"temporary_stored", "true"},
                           {"prepare_under_temporary_keeps_key", "true"},
                           {"temporary_collected_forgotten", "true"}});
  std::cout << "[ rounds   ] GC and heap call rounds until the tracker forgot the loader: "
            << results["collected_rounds"] << std::endl;
  EXPECT_TRUE(home.log().agent_errors().empty()) << home.log();
}

TEST_P(TagsThreadsJvm, ClassLoadsReachOnlyTheAttachedReceiver) {
  AgentHome home(true);
  auto results = run(home, "TagsThreads.beforeAttach", {.javaagent = false, .args = {home.home(), home.lib()}});
  EXPECT_RESULTS(results, {{"started", "0"},
                           {"tracked_before_attach", "true"},
                           {"seen_before_attach", "0"},
                           {"seen_after_attach", "true"},
                           {"bootstrap_seen", "false"},
                           {"replaced_receiver", "true"}});
}

TEST_P(TagsThreadsJvm, AFailingListenerDoesNotBreakTheApplicationsClassLoad) {
  AgentHome home(true);
  auto results = run(home, "TagsThreads.throwingListener");
  EXPECT_EQ(results["load_despite_listener"], "vorkel.test.CustomLoaded") << output();
  EXPECT_EQ(results["value_call"], "4711");
  std::vector<std::string> lines = home.log().lines_with("onClassLinked threw");
  ASSERT_EQ(lines.size(), 1u) << home.log();
  EXPECT_TRUE(vt::contains(lines[0],
                           "ERROR - onClassLinked threw Ljava/lang/IllegalStateException; for class "
                           "Lvorkel/test/CustomLoaded;; the exception was cleared and the class load goes "
                           "on. (cltracker_class_load_event:80)"))
      << lines[0];
}

TEST_P(TagsThreadsJvm, DefineClassUsesTheGivenRangeAndRefusesBadInput) {
  AgentHome home(true);
  auto results = run(home, "TagsThreads.defineClass");
  EXPECT_RESULTS(results, {{"defined_name", "vorkel.test.CustomLoaded"},
                           {"defined_in_target", "true"},
                           {"defined_value", "4711"},
                           {"array_unchanged", "true"}});
  for (const char *refused : {"null_name", "null_bytes", "negative_offset", "negative_length", "beyond_end",
                              "overflowing_range", "junk_bytes", "empty_range", "duplicate"}) {
    EXPECT_EQ(results[refused], "null") << refused;  // null, and no exception left pending
  }
  EXPECT_EQ(results["still_defines"], "vorkel.test.CustomLoaded");
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("ERROR - Unwrapping defineClass name or buffer argument failed."), 2u) << log;
  EXPECT_EQ(log.count("lie outside the byte array"), 4u) << log;
  EXPECT_EQ(log.count("Cannot define class vorkel/test/CustomLoaded: offset 2147483647 and length 10 lie outside the "
                      "byte array of"),
            1u);
  EXPECT_EQ(log.count("ERROR - Failed to define class vorkel/test/CustomLoaded in target classloader."), 3u) << log;
}

TEST_P(TagsThreadsJvm, AddModuleReadOpensAReadAndRefusesNonModules) {
  AgentHome home(true);
  auto results = run(home, "TagsThreads.modules");
  EXPECT_RESULTS(results, {{"reads_before", "false"},
                           {"added", "true"},
                           {"reads_after", "true"},
                           {"null_module", "VorkelException:addModuleRead: the module is null"},
                           {"null_other", "VorkelException:addModuleRead: the other module is null"}});
  EXPECT_TRUE(vt::contains(results["not_a_module"], "VorkelException:ERROR: JVMTI: ")) << results["not_a_module"];
  EXPECT_TRUE(vt::contains(results["not_a_module"], "Failed to add module read.")) << results["not_a_module"];
}

TEST_P(TagsThreadsJvm, StackTextsHaveExactLinesAndAreCutToWholeLines) {
  AgentHome home(true);
  auto results = run(home, "TagsThreads.stacks");
  EXPECT_RESULTS(results, {{"well_formed", "true"},
                           {"native_frame", "Lvorkel/test/TagThreadProbe;.stackText:-1(-1)"},
                           {"java_frames_agree", "true"},
                           {"caller_line_positive", "true"},
                           {"deep_count", "200"},
                           {"deep_top_frames", "true"},
                           {"cut_is_prefix", "true"},
                           {"cut_ends_with_whole_line", "true"},
                           {"cut_next_line_would_not_fit", "true"},
                           {"cut_well_formed", "true"},
                           {"tiny_storage_empty", "true"},
                           {"other_well_formed", "true"},
                           {"other_park_line", "true"},
                           {"other_native_park", "true"},
                           {"facts_id", "true"},
                           {"facts_name", "probe-parked"},
                           {"facts_state_parked", "true"},
                           {"facts_current_id", "true"}});
  // An ended thread has no stack to give (logged) and only the terminated state.
  EXPECT_EQ(results["ended_thread_text"], "null");
  EXPECT_EQ(results["ended_thread_state"], "2");  // JVMTI_THREAD_STATE_TERMINATED
  std::vector<std::string> errors = home.log().agent_errors();
  ASSERT_EQ(errors.size(), 1u) << home.log();
  EXPECT_TRUE(
      vt::contains(errors[0], "ERROR: JVMTI: 15(JVMTI_ERROR_THREAD_NOT_ALIVE): GetThreadListStackTraces failed."))
      << errors[0];
}

TEST_P(TagsThreadsJvm, ThreadDumpListsEveryLiveThread) {
  AgentHome home(true);
  auto results = run(home, "TagsThreads.threadDump");
  EXPECT_RESULTS(results, {{"dump_has_every_live_thread", "true"},
                           {"dump_has_workers", "true"},
                           {"dump_well_formed", "true"},
                           {"dump_index_refused", "true"},
                           {"dump_locals_left", "0"},
                           {"dump_worker_park_line", "true"},
                           {"dump_native_frame", "true"},
                           {"dump_small_whole_lines", "true"}});
  EXPECT_GE(std::stoi(results["java_thread_count"]), 5);
}

TEST_P(TagsThreadsJvm, AThreadThatEndedMakesNoNewRecordUntilItAttachesAgain) {
  AgentHome home(true);
  auto results = run(home, "TagsThreads.nativeThreads");
  EXPECT_EQ(results["native_cycle"],
            "first_record=true;marker_after_end=true;no_record_after_end=true;still_marker=true;"
            "slot_cleared_on_start=true;fresh_record=true;marker_after_second_end=true;")
      << output();
}

// The agent jar rebuilt with DeferredTransformationNativeImpl replaced by a class without
// onClassLinked; the tracker's start must then fail the agent's start. (Without the class at all
// the jar's premain cannot even link.)
std::string jdk_tool(const std::string &name) { return vt::reference_jdk().home + "/bin/" + name; }

void rebuild_agent_jar_without_on_class_linked(const AgentHome &home) {
  vt::TempDir work("vorkel-jar");
  std::string classes = work / "classes";
  ASSERT_TRUE(vt::make_directories({classes}));
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
  vt::ProcessResult packed =
      vt::run_process(jdk_tool("jar"), {"jar", "cfm", jar, classes + "/META-INF/MANIFEST.MF", "-C", classes, "."});
  ASSERT_EQ(packed.exit_code, 0) << packed.err;
  ASSERT_TRUE(vt::copy_file(jar, home.jar()));
}

TEST_P(TagsThreadsJvm, StartFailsWithoutOnClassLinked) {
  AgentHome home(false);
  rebuild_agent_jar_without_on_class_linked(home);
  EXPECT_EQ(run(home, "start")["start"], "-1") << output();
  EXPECT_EQ(home.log().count("ERROR - Failed to find DeferredTransformationNativeImpl method onClassLinked "
                             "(cltracker_initialise:35)"),
            1u)
      << home.log();
}

}  // namespace
