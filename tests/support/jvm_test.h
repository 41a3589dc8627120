// The fixture of the JVM tests: every test file under tests/jvm derives its suites from it.
//
//   #include "jvm_test.h"
//
//   namespace {
//   class FilesJvm : public vt::JvmTest {};   // one run on every JDK found (VORKEL_TEST_JDKS)
//   VT_JDK_TEST_SUITE(FilesJvm);              // test names: Jdks/FilesJvm.Name/jdk17_reference
//
//   TEST_P(FilesJvm, ReadsAreCounted) {
//     VT_ONLY_ON_JDK(jdk.major >= 21);        // skipped, with the reason, on other JDKs
//     vt::AgentHome home(true);               // true: the test kit library with the probe natives
//     auto results = run(home, "FileScenarios.reads", {.agent_options = "files=true", .jvm_flags = {"-Xmx64m"}});
//     EXPECT_RESULTS(results, {{"read", "true"}, {"bytes", "4096"}});
//     EXPECT_EQ(home.log().count("Opened file"), 1u) << home.log();
//     EXPECT_TRUE(home.log().agent_errors().empty()) << home.log();
//   }
//   }  // namespace
//
// A suite that runs once on the reference JDK derives from vt::ReferenceJvmTest and uses TEST_F.
// run() checks that the JVM exited with 0 (Exit::any for scenarios that crash or fail on purpose),
// keeps the process result (last(), output() for messages) and returns the RESULT lines.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "jvm.h"

namespace vt {

using Results = std::map<std::string, std::string>;

enum class Exit { zero, any };

class JvmFixture : public ::testing::Test {
 protected:
  virtual const Jdk &jdk() const = 0;

  // Runs options.main_class with the scenario and options.args as its arguments.
  Results run(const AgentHome &home, const std::string &scenario, JvmOptions options = {}, Exit exit = Exit::zero);
  // The same JVM started in the background (killed at the end unless waited for).
  std::unique_ptr<BackgroundProcess> start(const AgentHome &home, const std::string &scenario, JvmOptions options = {});
  // Waits until the background JVM printed the line "RESULT key=value".
  bool wait_for_result(BackgroundProcess &jvm, const std::string &key_value,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));

  const ProcessResult &last() const { return last_; }
  // The last run's exit, standard output and standard error, for failure messages.
  std::string output() const;
  // Each expected key has its value in results; a mismatch names the key and shows output().
  void expect_results(const Results &results, std::initializer_list<std::pair<std::string, std::string>> expected);

 private:
  std::vector<std::string> command(const AgentHome &home, const std::string &scenario, JvmOptions &options) const;
  ProcessResult last_;
};

// Fails the test on any line of the JVM's output that starts with "WARNING" (-Xcheck:jni reports
// a JNI fault of the agent that way, and so does the JVM for much else the agent must not cause).
void expect_no_warnings(const ProcessResult &result);

// A snapshot archive as the system's bzip2 and tar read it: exactly oom_graph.bin and oom_info.txt,
// with these contents.
void expect_snapshot_archive(const std::string &archive, const std::string &info, const std::string &graph);

// The suites that run once per JDK; VT_JDK_TEST_SUITE instantiates them.
class JvmTest : public JvmFixture, public ::testing::WithParamInterface<Jdk> {
 protected:
  const Jdk &jdk() const override { return GetParam(); }
};

// The suites that run on the reference JDK only.
class ReferenceJvmTest : public JvmFixture {
 protected:
  const Jdk &jdk() const override { return reference_jdk(); }
};

}  // namespace vt

#define VT_JDK_TEST_SUITE(suite)                                                     \
  INSTANTIATE_TEST_SUITE_P(Jdks, suite, ::testing::ValuesIn(::vt::available_jdks()), \
                           [](const auto &info) { return ::vt::jdk_test_name(info.param); })

// Skips the test on the JDKs where the condition over `jdk` (a vt::Jdk) does not hold.
#define VT_ONLY_ON_JDK(condition)                        \
  if (const ::vt::Jdk &jdk = this->jdk(); (condition)) { \
  } else                                                 \
    GTEST_SKIP() << "only on a JDK where " #condition ", not on " << jdk.name << " (" << jdk.major << ")"

#define EXPECT_RESULTS(results, ...)      \
  do {                                    \
    SCOPED_TRACE("the RESULT lines");     \
    expect_results(results, __VA_ARGS__); \
  } while (0)
