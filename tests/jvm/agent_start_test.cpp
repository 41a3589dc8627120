// The agent in real JVMs: loading, start-up order, natives of the spine, logging and the library file.
#include <gtest/gtest.h>

#include <regex>

#include "jvm_test.h"

namespace {

using vt::AgentHome;

class AgentJvm : public vt::JvmTest {};
VT_JDK_TEST_SUITE(AgentJvm);

const std::regex kLogLine(
    R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} \[[a-z ]{8}:[0-9 ]{5}\] (DEBUG|INFO |WARN |ERROR) - .*$)");

TEST_P(AgentJvm, LoadsAsAgentAndStartsOnce) {
  AgentHome home;
  const std::string loads = home.work() + "/class-loads.txt";
  auto results = run(home, "start", {.jvm_flags = {"-Xlog:class+load=info:file=" + loads}});
  // Transactions and file channels cost a JVM that uses neither no class at the start.
  const std::string loaded = vt::read_file(loads);
  ASSERT_NE(loaded.find("vorkel.runtime.agent.bootstrap.Agent "), std::string::npos) << loaded;
  for (const char *deferred :
       {"vorkel.runtime.agent.transactions.", "vorkel.runtime.agent.probes.ut.", "sun.nio.ch.FileChannelImpl "})
    EXPECT_EQ(loaded.find(deferred), std::string::npos) << deferred;
  EXPECT_RESULTS(
      results,
      {{"start", "0"}, {"second_start", "0"}, {"loaded_by_system_load", "false"}, {"logger_has_banner", "true"}});

  vt::NativeLog log = home.log();
  ASSERT_FALSE(log.empty()) << "no log file in " << home.logs();
  for (const std::string &line : vt::split_lines(log.text())) EXPECT_TRUE(std::regex_match(line, kLogLine)) << line;
  EXPECT_EQ(log.count("JVMTI raw version is"), 1u);
  EXPECT_EQ(log.count("Vorkel native logging started. Native agent version 19.12.13.2106 build 2106"), 1u);
  // The log file is named after the day in the agent home's logs directory.
  std::vector<std::string> files = vt::list_directory(home.logs());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(files[0], std::regex(R"(vorkel-native\.\d{8}\.log)"))) << files[0];
  // The agent itself logs no error; the exit monitor's lines (it reports to a collector that is
  // not there) are its own business.
  EXPECT_TRUE(log.agent_errors().empty()) << log;
}

TEST_P(AgentJvm, StartsThroughSystemLoadWithoutAgentPath) {
  AgentHome home;
  auto results = run(home, "start", {.agentpath = false});
  EXPECT_RESULTS(
      results,
      {{"start", "0"}, {"second_start", "0"}, {"loaded_by_system_load", "true"}, {"logger_has_banner", "true"}});
  EXPECT_EQ(home.log().count("JVMTI raw version is"), 1u);
}

TEST_P(AgentJvm, NullArgumentsGiveAClearErrorAndChangeNothing) {
  AgentHome home(true);
  auto results = run(home, "null_arguments", {.agent_options = "host=collector.example"});
  EXPECT_RESULTS(results, {{"configure_null", "VorkelException:configure: argument collectorHost is null"},
                           {"configure_null_pattern", "VorkelException:configure: argument crashLogPattern is null"},
                           {"oom_queries_null", "VorkelException:configureOomQueries: argument host is null"},
                           {"logging_null_logger", "VorkelException:initNativeLogging: the logger object is null"},
                           {"logging_null_role", "none"},
                           {"still_configured_host", "collector.example"},
                           // An argument list with a null element is dropped as a whole.
                           {"arguments_with_null", "none"},
                           {"argument_count_after_null", "0"},
                           {"is_hotspot", "1"},
                           {"j9_flag", "10"},
                           {"argument_count", "2"}});
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("configure: argument collectorHost is null, the configuration is not changed."), 1u);
  EXPECT_EQ(log.count("Could not find logging object/method: #0"), 1u);
}

TEST_P(AgentJvm, JvmtiErrorsThrowVorkelExceptionWithTheLoggedMessage) {
  AgentHome home(true);
  auto results = run(home, "jvmti_error");
  EXPECT_RESULTS(results,
                 {{"error_zero", "true"},
                  {"error_thrown", "VorkelException:ERROR: JVMTI: 10(JVMTI_ERROR_INVALID_THREAD): probe message"},
                  {"error_quiet", "none"},
                  {"error_unknown_code", "VorkelException:ERROR: JVMTI: 120(Unknown): odd code"}});
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("ERROR - ERROR: JVMTI: 10(JVMTI_ERROR_INVALID_THREAD): probe message "
                      "(check_jvmti_error_with_exception:92)"),
            1u);
  EXPECT_EQ(log.count("ERROR: JVMTI: 10(JVMTI_ERROR_INVALID_THREAD): quiet message"), 1u);
  EXPECT_EQ(log.count("nothing"), 0u);
}

TEST_P(AgentJvm, WrongPhaseAfterVmDeathIsLoggedOnceAndNotThrown) {
  AgentHome home(true);
  EXPECT_EQ(run(home, "after_death")["main_done"], "true");
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("ERROR: JVMTI: 112(JVMTI_ERROR_WRONG_PHASE): probe after death"), 1u) << log;
  EXPECT_EQ(log.count("Exception"), 0u) << log;
}

TEST_P(AgentJvm, LogLinesReachTheJavaLoggerOnlyFromRunnableThreads) {
  AgentHome home(true);
  auto results = run(home, "logging");
  EXPECT_RESULTS(results, {{"java_saw_runnable", "true"},
                           {"java_saw_without_jni", "false"},
                           {"java_saw_error", "true"},
                           {"java_long_length", "1023"},
                           {"pending_exception_kept", "pending"},
                           {"java_saw_pending", "false"}});
  ASSERT_EQ(results["contended_probe"], "true");
  EXPECT_EQ(results["java_saw_blocked"], "false");
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("INFO  - probe: runnable info line"), 1u);
  EXPECT_EQ(log.count("DEBUG - probe: debug line without jni"), 1u);
  EXPECT_EQ(log.count("INFO  - probe: logged with an exception pending"), 1u);
  EXPECT_GE(log.count("probe: contended enter logged from a blocked thread"), 1u);
  // A delivered error does not go to standard error as well.
  EXPECT_FALSE(vt::contains(last().err, "probe: error line with jni"));
  // A 2000-character message is cut to 1023 characters in the file too.
  std::vector<std::string> long_lines = log.lines_with("abcdefghijklmnopqrstuvwxyzabc");
  ASSERT_EQ(long_lines.size(), 1u);
  EXPECT_EQ(long_lines[0].size() - long_lines[0].find("abcdefghij"), 1023u);
}

TEST_P(AgentJvm, ReflectionNativesOpenFieldsAndRefuseBadInput) {
  AgentHome home;
  auto results = run(home, "reflection");
  EXPECT_RESULTS(results, {{"accessible_before", "false"},
                           {"made_accessible", "true"},
                           {"read_private", "true"},
                           {"zero_id_changes_nothing", "true"},
                           {"wrong_object", "VorkelException:makeAccessibleInternal: the object is of another class"},
                           {"unknown_id", "VorkelException:makeAccessibleInternal: unknown field id 12345"},
                           {"null_object", "VorkelException:makeAccessibleInternal: the object is null"},
                           {"null_class", "VorkelException:prepareInternal: the class is null"}});
  EXPECT_TRUE(vt::contains(results["missing_field"], "NoSuchFieldError")) << results["missing_field"];
}

TEST_P(AgentJvm, ClockAgreesWithJavaAndNeverGoesBackwards) {
  AgentHome home;
  auto results = run(home, "clock");
  EXPECT_RESULTS(results, {{"clock_close", "true"},
                           {"not_backwards", "true"},
                           {"still_not_backwards", "true"},
                           {"forward_anchor", "true"}});
}

TEST_P(AgentJvm, ThreadsAndRawMonitors) {
  AgentHome home(true);
  auto results = run(home, "helpers");
  EXPECT_RESULTS(results, {{"thread_name", "vorkel probe thread"}, {"thread_state", "NEW"}, {"raw_monitor", "11110"}});
  EXPECT_EQ(home.log().count("ERROR: JVMTI: 51(JVMTI_ERROR_NOT_MONITOR_OWNER): Cannot exit with raw monitor "
                             "(check_jvmti_error_with_exception:92)"),
            1u);
}

// ---------------------------------------------------------------------------------------------
// The library file itself.

TEST(AgentLibrary, ExportsOnlyTheAgentEntryPointsAndNatives) {
  vt::ProcessResult nm = vt::run_process("/usr/bin/nm", {"nm", "-D", "--defined-only", vt::agent_library()});
  ASSERT_EQ(nm.exit_code, 0) << nm.err;
  std::vector<std::string> names;
  for (const std::string &line : vt::split_lines(nm.out)) names.push_back(line.substr(line.rfind(' ') + 1));
  ASSERT_FALSE(names.empty());
  bool on_load = false, on_attach = false, on_unload = false, globals = false;
  for (const std::string &name : names) {
    on_load |= name == "Agent_OnLoad";
    on_attach |= name == "Agent_OnAttach";
    on_unload |= name == "Agent_OnUnload";
    globals |= name == "agent_globals";
    bool allowed = name == "Agent_OnLoad" || name == "Agent_OnAttach" || name == "Agent_OnUnload" ||
                   name == "agent_globals" || name.rfind("Java_vorkel_runtime_agent_", 0) == 0;
    EXPECT_TRUE(allowed) << "unexpected export " << name;
  }
  EXPECT_TRUE(on_load && on_attach && on_unload && globals);
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
  std::vector<std::string> lines = home.log().lines_with("Unknown execution type: dump");
  ASSERT_EQ(lines.size(), 1u) << home.log();
  EXPECT_TRUE(vt::contains(lines[0], "[fork    :")) << lines[0];
}

TEST(AgentLibrary, RunsAsAProgramWithoutArguments) {
  AgentHome home;
  vt::ProcessResult run = vt::run_process(home.lib(), {});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(home.log().count("No arguments given for execution."), 1u);
}

}  // namespace
