// The agent as users get it: the Debian package, installed into a scratch root, runs the agent and
// vorkel snapshot from the installed files only; the archive holds the same home.
#include <gtest/gtest.h>

#include "jvm_test.h"

namespace {

class InstalledPackage : public vt::ReferenceJvmTest {
 protected:
  // cpack on this build, into a directory of its own: the package's file.
  static std::string make_package(const std::string &directory) {
    vt::ProcessOptions options;
    options.timeout = std::chrono::seconds(300);
    vt::ProcessResult made = vt::run_process(
        VORKEL_CPACK, {"cpack", "--config", VORKEL_CPACK_CONFIG, "-G", "DEB;TGZ", "-B", directory}, options);
    EXPECT_EQ(made.exit_code, 0) << made.out << made.err;
    std::vector<std::string> packages = vt::entries_with_prefix(directory, "vorkel_");
    return packages.size() == 1 ? packages[0] : "";
  }
};

TEST_F(InstalledPackage, RunsTheAgentAndVorkelSnapshotFromTheInstalledFilesOnly) {
#ifndef VORKEL_MAKES_PACKAGES
  GTEST_SKIP() << "this build makes no package (a sanitizer build)";
#endif
  vt::TempDir packages("vorkel-packages");
  vt::TempDir root("vorkel-root");
  std::string package = make_package(packages.path());
  ASSERT_FALSE(package.empty());
  // Debian's checks find no error in it (scripts/deps.sh installs lintian; without it this check is left out).
  if (vt::file_exists("/usr/bin/lintian")) {
    vt::ProcessOptions slow;
    slow.timeout = std::chrono::seconds(300);
    vt::ProcessResult lintian = vt::run_process("/usr/bin/lintian", {"lintian", package}, slow);
    EXPECT_EQ(lintian.exit_code, 0) << lintian.out << lintian.err;
    for (const std::string &line : vt::split_lines(lintian.out)) EXPECT_NE(line.rfind("E: ", 0), 0u) << line;
  }
  ASSERT_TRUE(vt::make_directories({root / "var/lib/dpkg/info", root / "var/lib/dpkg/updates"}));
  vt::write_file(root / "var/lib/dpkg/status", "");
  // Its dependencies are the host's libraries, which the scratch root's own database lacks.
  vt::ProcessResult installed = vt::run_process(
      "/usr/bin/dpkg", {"dpkg", "--root=" + root.path(), "--force-depends", "--force-not-root", "-i", package});
  ASSERT_EQ(installed.exit_code, 0) << installed.out << installed.err;
  const std::string home = root / "opt/vorkel";
  for (const char *file : {"bin/vorkel", "bin/snapshot-reader", "bin/vorkel-collector", "lib/libvorkel.so",
                           "lib/vorkel-agent.jar", "doc/README.md", "doc/attach.md"}) {
    EXPECT_TRUE(vt::file_exists(home + "/" + file)) << file;
  }
  vt::ProcessResult listed =
      vt::run_process("/bin/tar", {"tar", "tzf", vt::entries_with_prefix(packages.path(), "vorkel-")[0]});
  EXPECT_TRUE(vt::contains(listed.out, "/lib/libvorkel.so\n") && vt::contains(listed.out, "/bin/vorkel\n"))
      << listed.out;

  // A JVM started with the installed agent, and one without any agent that vorkel attaches to.
  const std::string jar = home + "/lib/vorkel-agent.jar";
  std::vector<std::string> with_agent{jdk().java,
                                      "-Xcheck:jni",
                                      "-agentpath:" + home + "/lib/libvorkel.so",
                                      "-javaagent:" + jar + "=notifications=false",
                                      "-cp",
                                      vt::test_jar() + ":" + jar,
                                      "vorkel.test.Scenarios",
                                      "idle",
                                      "60000"};
  std::vector<std::string> without{jdk().java, "-Xcheck:jni", "-cp", vt::test_jar(), "vorkel.test.Scenarios",
                                   "idle",     "60000"};
  vt::BackgroundProcess started(jdk().java, with_agent);
  vt::BackgroundProcess plain(jdk().java, without);
  const std::string vorkel = home + "/bin/vorkel";
  auto status = [&](int pid) { return vt::run_process(vorkel, {"vorkel", "status", std::to_string(pid)}); };
  // Its Java half publishes the agent's home once premain ran.
  ASSERT_TRUE(vt::wait_until([&] { return vt::contains(status(started.pid()).out, "home     " + home + "\n"); },
                             std::chrono::seconds(30)))
      << started.err();

  vt::TempDir out("vorkel-out");
  ASSERT_TRUE(vt::wait_until([&] { return status(plain.pid()).exit_code == 9; }, std::chrono::seconds(30)));
  vt::ProcessOptions slow;
  slow.timeout = std::chrono::seconds(120);
  vt::ProcessResult snapshot =
      vt::run_process(vorkel, {"vorkel", "snapshot", std::to_string(plain.pid()), "--out", out.path()}, slow);
  ASSERT_EQ(snapshot.exit_code, 0) << snapshot.out << snapshot.err;
  EXPECT_TRUE(vt::contains(snapshot.out,
                           "Loaded the agent into process " + std::to_string(plain.pid()) + " (home " + home + ")"))
      << snapshot.out;
  std::vector<std::string> copies = vt::entries_with_prefix(out.path(), "oom_");
  ASSERT_EQ(copies.size(), 1u);
  vt::ProcessResult read = vt::run_process(home + "/bin/snapshot-reader", {"snapshot-reader", copies[0]});
  EXPECT_EQ(read.exit_code, 0) << read.out << read.err;
  EXPECT_TRUE(vt::contains(read.out, "Snapshot is consistent.")) << read.out;
  vt::NativeLog log = vt::NativeLog::read(home + "/logs");
  EXPECT_EQ(log.count("Loaded into the running JVM with the options \"notifications=false\""), 1u) << log;
  EXPECT_TRUE(log.agent_errors().empty()) << log;
  vt::expect_no_warnings({.out = started.out(), .err = started.err()});
  vt::expect_no_warnings({.out = plain.out(), .err = plain.err()});
}

}  // namespace
