// The agent in real JVMs: loading, start-up order, natives of the spine, logging and the library file.
#include <gtest/gtest.h>

#include <regex>

#include "jvm.h"

namespace {

using vt::AgentHome;
using vt::JvmOptions;

class AgentJvm : public ::testing::TestWithParam<vt::Jdk> {};

INSTANTIATE_TEST_SUITE_P(Jdks, AgentJvm, ::testing::ValuesIn(vt::available_jdks()),
                         [](const auto &info) { return vt::jdk_test_name(info.param); });

const std::regex kLogLine(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} \[[a-z ]{8}:[0-9 ]{5}\] (DEBUG|INFO |WARN |ERROR) - .*$)");

TEST_P(AgentJvm, LoadsAsAgentAndStartsOnce) {
  AgentHome home;
  JvmOptions options;
  options.args = {"start"};
  auto results = vt::run_scenario(GetParam(), home, options);
  EXPECT_EQ(results["start"], "0");
  EXPECT_EQ(results["second_start"], "0");
  EXPECT_EQ(results["loaded_by_system_load"], "false");
  EXPECT_EQ(results["logger_has_banner"], "true");

  std::string log = home.native_log();
  ASSERT_FALSE(log.empty()) << "no log file in " << home.logs();
  for (const std::string &line : vt::split_lines(log)) EXPECT_TRUE(std::regex_match(line, kLogLine)) << line;
  EXPECT_EQ(vt::log_lines_with(log, "JVMTI raw version is").size(), 1u);
  EXPECT_EQ(vt::log_lines_with(log, "Vorkel native logging started. Native agent version 19.12.13.2106 build 2106").size(),
            1u);
  // The log file is named after the day in the agent home's logs directory.
  std::vector<std::string> files = vt::list_directory(home.logs());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(files[0], std::regex(R"(vorkel-native\.\d{8}\.log)"))) << files[0];
  // The agent itself logs no error; the exit monitor's lines (it reports to a collector that is
  // not there) are its own business.
  EXPECT_TRUE(vt::agent_errors(log).empty()) << log;
}

TEST_P(AgentJvm, StartsThroughSystemLoadWithoutAgentPath) {
  AgentHome home;
  JvmOptions options;
  options.agentpath = false;
  options.args = {"start"};
  auto results = vt::run_scenario(GetParam(), home, options);
  EXPECT_EQ(results["start"], "0");
  EXPECT_EQ(results["second_start"], "0");
  EXPECT_EQ(results["loaded_by_system_load"], "true");
  EXPECT_EQ(results["logger_has_banner"], "true");
  EXPECT_EQ(vt::log_lines_with(home.native_log(), "JVMTI raw version is").size(), 1u);
}

TEST_P(AgentJvm, NullArgumentsGiveAClearErrorAndChangeNothing) {
  AgentHome home(true);
  JvmOptions options;
  options.agent_options = "host=collector.example";
  options.args = {"null_arguments"};
  auto results = vt::run_scenario(GetParam(), home, options);
  EXPECT_EQ(results["configure_null"], "VorkelException:configure: argument collectorHost is null");
  EXPECT_EQ(results["configure_null_pattern"], "VorkelException:configure: argument crashLogPattern is null");
  EXPECT_EQ(results["oom_queries_null"], "VorkelException:configureOomQueries: argument host is null");
  EXPECT_EQ(results["logging_null_logger"], "VorkelException:initNativeLogging: the logger object is null");
  EXPECT_EQ(results["logging_null_role"], "none");
  EXPECT_EQ(results["still_configured_host"], "collector.example");
  // An argument list with a null element is dropped as a whole.
  EXPECT_EQ(results["arguments_with_null"], "none");
  EXPECT_EQ(results["argument_count_after_null"], "0");
  EXPECT_EQ(results["is_hotspot"], "1");
  EXPECT_EQ(results["j9_flag"], "10");
  EXPECT_EQ(results["argument_count"], "2");
  std::string log = home.native_log();
  EXPECT_EQ(vt::log_lines_with(log, "configure: argument collectorHost is null, the configuration is not changed.").size(),
            1u);
  EXPECT_EQ(vt::log_lines_with(log, "Could not find logging object/method: #0").size(), 1u);
}

TEST_P(AgentJvm, JvmtiErrorsThrowVorkelExceptionWithTheLoggedMessage) {
  AgentHome home(true);
  JvmOptions options;
  options.args = {"jvmti_error"};
  auto results = vt::run_scenario(GetParam(), home, options);
  EXPECT_EQ(results["error_zero"], "true");
  EXPECT_EQ(results["error_thrown"], "VorkelException:ERROR: JVMTI: 10(JVMTI_ERROR_INVALID_THREAD): probe message");
  EXPECT_EQ(results["error_quiet"], "none");
  EXPECT_EQ(results["error_unknown_code"], "VorkelException:ERROR: JVMTI: 9999(Unknown): odd code");
  std::string log = home.native_log();
  EXPECT_EQ(vt::log_lines_with(log, "ERROR - ERROR: JVMTI: 10(JVMTI_ERROR_INVALID_THREAD): probe message "
                                    "(check_jvmti_error_with_exception:92)").size(), 1u);
  EXPECT_EQ(vt::log_lines_with(log, "ERROR: JVMTI: 10(JVMTI_ERROR_INVALID_THREAD): quiet message").size(), 1u);
  EXPECT_TRUE(vt::log_lines_with(log, "nothing").empty());
}

TEST_P(AgentJvm, WrongPhaseAfterVmDeathIsLoggedOnceAndNotThrown) {
  AgentHome home(true);
  JvmOptions options;
  options.args = {"after_death"};
  EXPECT_EQ(vt::run_scenario(GetParam(), home, options)["main_done"], "true");
  std::string log = home.native_log();
  EXPECT_EQ(vt::log_lines_with(log, "ERROR: JVMTI: 112(JVMTI_ERROR_WRONG_PHASE): probe after death").size(), 1u) << log;
  EXPECT_TRUE(vt::log_lines_with(log, "Exception").empty()) << log;
}

TEST_P(AgentJvm, LogLinesReachTheJavaLoggerOnlyFromRunnableThreads) {
  AgentHome home(true);
  JvmOptions options;
  options.args = {"logging"};
  vt::ProcessResult run;
  auto results = vt::run_scenario(GetParam(), home, options, &run);
  EXPECT_EQ(results["java_saw_runnable"], "true");
  EXPECT_EQ(results["java_saw_without_jni"], "false");
  EXPECT_EQ(results["java_saw_error"], "true");
  EXPECT_EQ(results["java_long_length"], "1023");
  ASSERT_EQ(results["contended_probe"], "true");
  EXPECT_EQ(results["java_saw_blocked"], "false");
  std::string log = home.native_log();
  EXPECT_EQ(vt::log_lines_with(log, "INFO  - probe: runnable info line").size(), 1u);
  EXPECT_EQ(vt::log_lines_with(log, "DEBUG - probe: debug line without jni").size(), 1u);
  EXPECT_GE(vt::log_lines_with(log, "probe: contended enter logged from a blocked thread").size(), 1u);
  // A delivered error does not go to standard error as well.
  EXPECT_FALSE(vt::contains(run.err, "probe: error line with jni"));
  // A 2000-character message is cut to 1023 characters in the file too.
  std::vector<std::string> long_lines = vt::log_lines_with(log, "abcdefghijklmnopqrstuvwxyzabc");
  ASSERT_EQ(long_lines.size(), 1u);
  EXPECT_EQ(long_lines[0].size() - long_lines[0].find("abcdefghij"), 1023u);
}

TEST_P(AgentJvm, ReflectionNativesOpenFieldsAndRefuseBadInput) {
  AgentHome home;
  JvmOptions options;
  options.args = {"reflection"};
  auto results = vt::run_scenario(GetParam(), home, options);
  EXPECT_EQ(results["accessible_before"], "false");
  EXPECT_EQ(results["made_accessible"], "true");
  EXPECT_EQ(results["read_private"], "true");
  EXPECT_EQ(results["zero_id_changes_nothing"], "true");
  EXPECT_EQ(results["wrong_object"], "VorkelException:makeAccessibleInternal: the object is of another class");
  EXPECT_EQ(results["unknown_id"], "VorkelException:makeAccessibleInternal: unknown field id 12345");
  EXPECT_EQ(results["null_object"], "VorkelException:makeAccessibleInternal: the object is null");
  EXPECT_EQ(results["null_class"], "VorkelException:prepareInternal: the class is null");
  EXPECT_TRUE(vt::contains(results["missing_field"], "NoSuchFieldError")) << results["missing_field"];
}

TEST_P(AgentJvm, ClockAgreesWithJavaAndNeverGoesBackwards) {
  AgentHome home;
  JvmOptions options;
  options.args = {"clock"};
  auto results = vt::run_scenario(GetParam(), home, options);
  EXPECT_EQ(results["clock_close"], "true");
  EXPECT_EQ(results["not_backwards"], "true");
  EXPECT_EQ(results["still_not_backwards"], "true");
  EXPECT_EQ(results["forward_anchor"], "true");
}

TEST_P(AgentJvm, TimingBridgeThreadsAndRawMonitors) {
  AgentHome home(true);
  JvmOptions options;
  options.args = {"helpers"};
  auto results = vt::run_scenario(GetParam(), home, options);
  EXPECT_EQ(results["timing_count"], "2");
  EXPECT_EQ(results["timing_ms"], "300");
  EXPECT_EQ(results["thread_name"], "vorkel probe thread");
  EXPECT_EQ(results["thread_state"], "NEW");
  EXPECT_EQ(results["raw_monitor"], "11110");
  EXPECT_EQ(vt::log_lines_with(home.native_log(), "ERROR: JVMTI: 51(JVMTI_ERROR_NOT_MONITOR_OWNER): Cannot exit with "
                                                  "raw monitor (check_jvmti_error_with_exception:92)").size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// The library file itself.

TEST(AgentLibrary, ExportsOnlyTheAgentEntryPointsAndNatives) {
  vt::ProcessResult nm = vt::run_process("/usr/bin/nm", {"nm", "-D", "--defined-only", vt::agent_library()});
  ASSERT_EQ(nm.exit_code, 0) << nm.err;
  std::vector<std::string> names;
  for (const std::string &line : vt::split_lines(nm.out)) names.push_back(line.substr(line.rfind(' ') + 1));
  ASSERT_FALSE(names.empty());
  bool on_load = false, on_unload = false, globals = false;
  for (const std::string &name : names) {
    on_load |= name == "Agent_OnLoad";
    on_unload |= name == "Agent_OnUnload";
    globals |= name == "agent_globals";
    bool allowed = name == "Agent_OnLoad" || name == "Agent_OnUnload" || name == "agent_globals" ||
                   name.rfind("Java_vorkel_runtime_agent_", 0) == 0;
    EXPECT_TRUE(allowed) << "unexpected export " << name;
  }
  EXPECT_TRUE(on_load && on_unload && globals);
}

TEST(AgentLibrary, IsAGuestThatNeedsNoJvmAndNoCxxRuntime) {
  vt::ProcessResult elf = vt::run_process("/usr/bin/readelf", {"readelf", "-d", vt::agent_library()});
  ASSERT_EQ(elf.exit_code, 0) << elf.err;
  EXPECT_FALSE(vt::contains(elf.out, "libjvm")) << elf.out;
  EXPECT_FALSE(vt::contains(elf.out, "libstdc++")) << elf.out;
  EXPECT_FALSE(vt::contains(elf.out, "libgcc_s")) << elf.out;
}

TEST(AgentLibrary, RunsAsAProgramAndRefusesAnUnknownMode) {
  AgentHome home;
  vt::ProcessResult run = vt::run_process(home.lib(), {"dump", "x", "y"});
  EXPECT_EQ(run.exit_code, 1) << run.err;
  std::vector<std::string> lines = vt::log_lines_with(home.native_log(), "Unknown execution type: dump");
  ASSERT_EQ(lines.size(), 1u) << home.native_log();
  EXPECT_TRUE(vt::contains(lines[0], "[fork    :")) << lines[0];
}

TEST(AgentLibrary, RunsAsAProgramWithoutArguments) {
  AgentHome home;
  vt::ProcessResult run = vt::run_process(home.lib(), {});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(vt::log_lines_with(home.native_log(), "No arguments given for execution.").size(), 1u);
}

}  // namespace
