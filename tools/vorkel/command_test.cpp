// What the vorkel command reads from the target and from the JVM: /proc files, the JVM's flags, its
// system properties and its attach answers, well-formed and hostile; and how it reads its own
// command line.
#include <gtest/gtest.h>

#include "argument_cursor.h"
#include "hotspot_attach.h"
#include "java_properties.h"
#include "target_process.h"

namespace {

using namespace vorkel_command;

TEST(CommandLine, AnOptionTakesItsInlineValueOrTheNextArgument) {
  char program[] = "vorkel", top[] = "--top=5=6", out[] = "-o", dir[] = "/tmp/a=b", dangling[] = "--home";
  char *argv[] = {program, top, out, dir, dangling};
  snapshot_reader::ArgumentCursor args(5, argv);
  ASSERT_TRUE(args.next());
  EXPECT_EQ(args.name(), "--top");
  EXPECT_TRUE(args.has_inline());
  EXPECT_STREQ(args.value(), "5=6");
  ASSERT_TRUE(args.next());
  EXPECT_EQ(args.name(), "-o");  // only a "--" option has an inline value
  EXPECT_STREQ(args.value(), "/tmp/a=b");
  ASSERT_TRUE(args.next());  // the value was passed over
  EXPECT_STREQ(args.given(), "--home");
  EXPECT_EQ(args.value(), nullptr);
  EXPECT_FALSE(args.next());
}

TEST(TargetProcess, StatusGivesUserGroupsOwnPidAndCaughtSignalsOrNothing) {
  const std::string status =
      "Name:\tjava\nState:\tS (sleeping)\nUid:\t1000\t1001\t1001\t1001\nGid:\t50\t51\t51\t51\n"
      "Groups:\t4 24 27 \nNSpid:\t31337\t7\t1\nSigCgt:\t0000000101005ccd\n";
  ProcessStatus parsed = parse_process_status(status);
  ASSERT_TRUE(parsed.valid);
  EXPECT_EQ(parsed.name, "java");
  EXPECT_EQ(parsed.uid, 1000u);
  EXPECT_EQ(parsed.euid, 1001u);
  EXPECT_EQ(parsed.egid, 51u);
  EXPECT_EQ(parsed.groups, (std::vector<gid_t>{4, 24, 27}));
  EXPECT_EQ(parsed.own_pid(), 1);
  EXPECT_TRUE(parsed.catches(3));    // SIGQUIT
  EXPECT_FALSE(parsed.catches(2));   // SIGINT
  EXPECT_FALSE(parsed.catches(65));  // no such signal
  // A JVM started with -Xrs catches no SIGQUIT.
  EXPECT_FALSE(parse_process_status("Name:\tjava\nUid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\nGroups:\t\nNSpid:\t9\n"
                                    "SigCgt:\t0000000101001cc8\n")
                   .catches(3));
  for (const std::string &broken : std::vector<std::string>{
           "Name:\tjava\nUid:\t1000\t1000\n", "Uid:\t1\t1\t1\t1\nGid:\t1\t1\t1\t1\n",
           "Name:\tx\nUid:\t1\t1\t1\t1\nGid:\t1\t1\t1\t1\nGroups:\t\nNSpid:\t99999999999999999999999\nSigCgt:\t0\n",
           "Name:\tx\nUid:\t1\tx\t1\t1\nGid:\t1\t1\t1\t1\nGroups:\t\nNSpid:\t5\nSigCgt:\tzz\n",
           std::string(100000, ':')}) {
    EXPECT_FALSE(parse_process_status(broken).valid) << broken.substr(0, 80);
  }
}

TEST(TargetProcess, MapsTellHotSpotFromOtherVmsAndFindTheAgentLibrary) {
  const std::string hotspot =
      "7f0000000000-7f0000001000 r-xp 00000000 08:01 123   /usr/lib/jvm/jdk/lib/server/libjvm.so\n"
      "7f0000002000-7f0000003000 r--p 00000000 00:00 0     [heap]\n"
      "7f0000004000-7f0000005000 r-xp 00000000 08:01 456   /tmp/vorkel-0/lib/libvorkel.so (deleted)\n"
      "garbage\n7f00 r-xp\n";
  ProcessLibraries libraries = scan_process_maps(hotspot);
  EXPECT_TRUE(libraries.hotspot);
  EXPECT_EQ(libraries.agent_library, "/tmp/vorkel-0/lib/libvorkel.so");
  EXPECT_TRUE(libraries.agent_deleted);
  // A path with blanks is kept whole; J9 ships a libjvm.so of its own.
  libraries = scan_process_maps(
      "1-2 r-xp 0 08:01 1 /opt/my jvm/lib/server/libjvm.so\n"
      "1-2 r-xp 0 08:01 2 /opt/my jvm/lib/libvorkel.so\n");
  EXPECT_TRUE(libraries.hotspot);
  EXPECT_EQ(libraries.agent_library, "/opt/my jvm/lib/libvorkel.so");
  EXPECT_FALSE(scan_process_maps("1-2 r-xp 0 08:01 1 /j9/lib/j9vm/libjvm.so\n1-2 r-xp 0 08:01 1 /j9/lib/default/"
                                 "libj9vm29.so\n")
                   .hotspot);
  EXPECT_FALSE(scan_process_maps("1-2 r-xp 0 08:01 1 /usr/bin/sleep\n").hotspot);
}

TEST(TargetProcess, TheLastAttachMechanismFlagWinsInTheOrderTheJvmReadsThem) {
  using namespace std::string_literals;
  EXPECT_FALSE(attach_disabled_by_flags("java\0-cp\0x\0Main\0"s, "PATH=/bin\0"s));
  EXPECT_TRUE(attach_disabled_by_flags("java\0-XX:+DisableAttachMechanism\0Main\0"s, ""));
  EXPECT_FALSE(attach_disabled_by_flags("java\0-XX:+DisableAttachMechanism\0-XX:-DisableAttachMechanism\0"s, ""));
  EXPECT_TRUE(attach_disabled_by_flags("java\0Main\0"s, "JAVA_TOOL_OPTIONS=-Xmx1g -XX:+DisableAttachMechanism\0"s));
  // The command line comes after JAVA_TOOL_OPTIONS, _JAVA_OPTIONS after the command line.
  EXPECT_FALSE(attach_disabled_by_flags("java\0-XX:-DisableAttachMechanism\0"s,
                                        "JAVA_TOOL_OPTIONS=-XX:+DisableAttachMechanism\0"s));
  EXPECT_TRUE(
      attach_disabled_by_flags("java\0-XX:-DisableAttachMechanism\0"s, "_JAVA_OPTIONS=-XX:+DisableAttachMechanism\0"s));
  EXPECT_FALSE(attach_disabled_by_flags("", "MY_JAVA_TOOL_OPTIONS=-XX:+DisableAttachMechanism\0"s));
}

TEST(JavaProperties, StoredEscapesAreUndoneAndBrokenOnesKept) {
  auto properties = parse_java_properties(
      "#Wed Dec 09 13:20:03 UTC 2026\n"
      "line.separator=\\n\n"
      "weird.key=a\\=b\\:c d\\\\e\n"
      "\\u00FCn\\u00EF=\\u00DF\n"
      "emoji=\\uD83D\\uDE00\n"
      "key\\ with\\ blanks=\\tvalue\r\n"
      "broken=\\u12G4 and\\\n"
      "! a comment\n"
      "   \n"
      "empty=\n"
      "vorkel.agent.home=/tmp/vorkel-0");
  EXPECT_EQ(properties.size(), 8u);
  EXPECT_EQ(properties["line.separator"], "\n");
  EXPECT_EQ(properties["weird.key"], "a=b:c d\\e");
  EXPECT_EQ(properties["\xC3\xBCn\xC3\xAF"], "\xC3\x9F");
  EXPECT_EQ(properties["emoji"], "\xF0\x9F\x98\x80");
  EXPECT_EQ(properties["key with blanks"], "\tvalue");
  EXPECT_EQ(properties["broken"], "\\u12G4 and");
  EXPECT_EQ(properties["empty"], "");
  EXPECT_EQ(properties["vorkel.agent.home"], "/tmp/vorkel-0");
}

TEST(AttachAnswers, StatusLinesLoadResultsAndRefusals) {
  AttachAnswer answer;
  ASSERT_TRUE(parse_attach_answer("0\nreturn code: 100\n", &answer));
  LoadResult load = parse_load_answer(answer);
  EXPECT_TRUE(load.loaded);
  EXPECT_EQ(load.code, 100);
  // JDK 17 answers a library it cannot load with -1, JDK 25 with 0: either way not loaded.
  for (const std::string &raw : {std::string("-1\n/x.so was not loaded.\n/x.so: cannot open shared object file\n"),
                                 std::string("0\n/x.so was not loaded.\n/x.so: cannot open shared object file\n")}) {
    ASSERT_TRUE(parse_attach_answer(raw, &answer));
    load = parse_load_answer(answer);
    EXPECT_FALSE(load.loaded);
    EXPECT_EQ(load.reason, "/x.so was not loaded.\n/x.so: cannot open shared object file");
  }
  ASSERT_TRUE(parse_attach_answer(
      "0\nDynamic agent loading is not enabled. Use -XX:+EnableDynamicAgentLoading to launch target VM.\n", &answer));
  EXPECT_TRUE(parse_load_answer(answer).dynamic_loading_disabled);
  ASSERT_TRUE(parse_attach_answer("0\nsome text\nreturn code: 7x\n", &answer));
  EXPECT_FALSE(parse_load_answer(answer).loaded);
  for (const std::string &raw : {std::string(""), std::string("\n"), std::string("abc\n"), std::string("-\n"),
                                 std::string("999999999999\n"), std::string("12 \n")}) {
    EXPECT_FALSE(parse_attach_answer(raw, &answer)) << raw;
  }
}

}  // namespace
