// The Linux symbol reader on the fake JVM library and on the JDKs' own libjvm.so files (whole,
// without their symbol table, with a separate debug file), and safe reads of unreadable memory.
#include <gtest/gtest.h>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <sstream>

#include "fake_jvm.h"
#include "vmstructs/linux/symbols.h"
#include "vmstructs/safe_read_pages.h"
#include "core/log.h"
#include "test_util.h"

namespace {

const char *const exports[] = {"gHotSpotVMStructs", "gHotSpotVMTypes", "gHotSpotVMStructEntryArrayStride", nullptr};
const char *const vtables[] = {
    "InstanceKlass", "InstanceMirrorKlass", "InstanceRefKlass", "InstanceClassLoaderKlass", "ConstantPool", nullptr};

class LinuxSymbols : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_use_directory("unit", (dir_ / "logs").c_str()));
    symbols_set_debug_directory((dir_ / "debug").c_str());
  }
  void TearDown() override {
    symbols_set_debug_directory("/usr/lib/debug");
    for (symbols_module_handle *handle : handles_) symbols_free_module_handle(handle);
  }
  symbols_module_handle *file(const std::string &path) {
    handles_.push_back(symbols_module_handle_for_file(path.c_str(), 0));
    return handles_.back();
  }
  std::string log() {
    std::vector<std::string> files = vt::list_directory(dir_ / "logs");
    return files.empty() ? "" : vt::read_file(dir_ / ("logs/" + files[0]));
  }
  // Runs objcopy with the arguments on a copy of the file; returns the copy's path.
  std::string objcopy(const std::string &from, const std::string &to, const std::vector<std::string> &arguments) {
    std::vector<std::string> argv = {"objcopy"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv.push_back(from);
    argv.push_back(to);
    vt::ProcessResult result = vt::run_process(VORKEL_OBJCOPY, argv);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return to;
  }
  vt::TempDir dir_;
  std::vector<symbols_module_handle *> handles_;
};

// Leaves the dynamic table, the build id and the debug link.
const std::vector<std::string> no_symbol_table = {"--strip-all"};

// Values of the full symbol table as nm lists them.
std::map<std::string, uint64_t> nm_values(const std::string &path) {
  vt::ProcessResult result = vt::run_process("/usr/bin/nm", {"nm", path}, {});
  std::map<std::string, uint64_t> values;
  std::istringstream lines(result.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string value, type, name;
    if (fields >> value >> type >> name) values[name] = std::stoull(value, nullptr, 16);
  }
  return values;
}

TEST_F(LinuxSymbols, TheLibraryOfAHintResolvesItsExportsAndItsLocalVirtualTables) {
  symbols_module_handle *handle = symbols_get_module_handle(nullptr, reinterpret_cast<void *>(&fake_jvm_allocate));
  ASSERT_NE(handle, nullptr);
  handles_.push_back(handle);
  EXPECT_EQ(symbols_preload(nullptr, handle, exports, false, true), SYMBOLS_OK);
  EXPECT_EQ(symbols_preload(nullptr, handle, vtables, true, true), SYMBOLS_OK);
  EXPECT_EQ(lookup_symbol(nullptr, handle, "gHotSpotVMStructs"), fake_jvm_export("gHotSpotVMStructs"));
  EXPECT_EQ(lookup_symbol(nullptr, handle, "gHotSpotVMStructEntryArrayStride"),
            fake_jvm_export("gHotSpotVMStructEntryArrayStride"));
  for (int kind = 0; kind < 5; ++kind) {
    auto *vtable = static_cast<char *>(lookup_vtable(nullptr, handle, vtables[kind]));
    EXPECT_EQ(reinterpret_cast<uint64_t>(vtable + 16), fake_jvm_vtable_pointer(kind)) << vtables[kind];
  }
  const char *const missing[] = {"gHotSpotVMTypes", "gNoSuchExport", nullptr};
  EXPECT_EQ(symbols_preload(nullptr, handle, missing, false, true), SYMBOLS_MISSING);
  EXPECT_EQ(symbols_preload(nullptr, handle, missing, false, true), SYMBOLS_READER_FAILED);
  std::string text = log();
  EXPECT_TRUE(vt::contains(text, "ERROR - Required symbol gNoSuchExport not found.")) << text;
  EXPECT_TRUE(vt::contains(text, "ERROR - SymbolLookup: Out of symbol blocks.")) << text;

  int on_the_heap = 0;
  EXPECT_EQ(symbols_get_module_handle(nullptr, &on_the_heap + (1 << 30)), nullptr);
  EXPECT_TRUE(vt::contains(log(), "ERROR - Failed to get module handle, did not find module from hint."));
}

class SystemLinuxSymbols : public LinuxSymbols {};

TEST_F(SystemLinuxSymbols, WithoutASymbolTableTheDebugFileServesAndItsAbsenceIsCodeFour) {
  std::string fake = VORKEL_FAKE_JVM;
  std::string stripped = objcopy(fake, dir_ / "stripped.so", no_symbol_table);
  EXPECT_EQ(symbols_preload(nullptr, file(stripped), vtables, true, true), SYMBOLS_DEBUG_FILE_NOT_FOUND);
  EXPECT_TRUE(vt::contains(log(), "ERROR - SymbolLookup: Debug file of " + stripped + " not found under")) << log();
  EXPECT_EQ(symbols_preload(nullptr, handles_.back(), exports, false, true), SYMBOLS_OK);

  // The debug file under the build id: the virtual tables have the values of the whole library.
  vt::ProcessResult id = vt::run_process("/usr/bin/readelf", {"readelf", "-n", fake});
  size_t at = id.out.find("Build ID: ");
  ASSERT_NE(at, std::string::npos) << id.out;
  std::string build_id = id.out.substr(at + 10, id.out.find('\n', at) - at - 10);
  std::string debug_dir = dir_ / ("debug/.build-id/" + build_id.substr(0, 2));
  ASSERT_EQ(vt::run_process("/bin/mkdir", {"mkdir", "-p", debug_dir}).exit_code, 0);
  objcopy(fake, debug_dir + "/" + build_id.substr(2) + ".debug", {"--only-keep-debug"});
  symbols_module_handle *handle = file(stripped);
  EXPECT_EQ(symbols_preload(nullptr, handle, vtables, true, true), SYMBOLS_OK);
  std::map<std::string, uint64_t> nm = nm_values(fake);
  EXPECT_EQ((uint64_t)lookup_vtable(nullptr, handle, "InstanceRefKlass"), nm.at("_ZTV16InstanceRefKlass"));

  // Neither a symbol table nor a reference to a debug file: nothing can be read.
  std::string bare = objcopy(fake, dir_ / "bare.so",
                             {"--strip-all", "--remove-section=.note.gnu.build-id", "--remove-section=.gnu_debuglink"});
  EXPECT_EQ(symbols_preload(nullptr, file(bare), vtables, true, true), SYMBOLS_UNAVAILABLE);
  EXPECT_EQ(symbols_preload(nullptr, file(dir_ / "missing.so"), exports, false, true), SYMBOLS_READER_FAILED);
  EXPECT_TRUE(vt::contains(log(), "ERROR - SymbolLookup: Could not load object file."));
  ASSERT_TRUE(vt::write_file(dir_ / "text.so", "not an object file"));
  EXPECT_EQ(symbols_preload(nullptr, file(dir_ / "text.so"), exports, false, true), SYMBOLS_READER_FAILED);
}

// The JDKs' own libraries: exports from the dynamic table, the five virtual tables from the full
// table, and a copy without it (and without its debug file) gives code 4. Those of the build's
// processor, which its objcopy reads.
TEST_F(SystemLinuxSymbols, TheJdkLibrariesHoldTheTablesAndTheVirtualTables) {
  int seen = 0;
  for (const char *jdk : {"/usr/lib/jvm/java-17-openjdk-amd64", "/usr/lib/jvm/temurin-25-jdk-amd64",
                          "/usr/lib/jvm/java-17-openjdk-arm64"}) {
    std::string library = std::string(jdk) + "/lib/server/libjvm.so";
    if (vt::elf_machine(library) != vt::elf_machine(VORKEL_FAKE_JVM)) continue;
    ++seen;
    SCOPED_TRACE(library);
    std::map<std::string, uint64_t> nm = nm_values(library);
    symbols_module_handle *handle = file(library);
    EXPECT_EQ(symbols_preload(nullptr, handle, exports, false, true), SYMBOLS_OK);
    EXPECT_EQ(symbols_preload(nullptr, handle, vtables, true, true), SYMBOLS_OK);
    EXPECT_EQ((uint64_t)lookup_symbol(nullptr, handle, "gHotSpotVMStructs"), nm.at("gHotSpotVMStructs"));
    for (const char *const *name = vtables; *name != nullptr; ++name) {
      std::string symbol = "_ZTV" + std::to_string(strlen(*name)) + *name;
      EXPECT_EQ((uint64_t)lookup_vtable(nullptr, handle, *name), nm.at(symbol)) << symbol;
    }
    std::string copy = objcopy(library, dir_ / "libjvm.so", no_symbol_table);
    EXPECT_EQ(symbols_preload(nullptr, file(copy), vtables, true, true), SYMBOLS_DEBUG_FILE_NOT_FOUND);
  }
  EXPECT_GT(seen, 0) << "no JDK library found";
}

class SafeReads : public LinuxSymbols {
 protected:
  // A readable page followed by one that was freed.
  void SetUp() override {
    LinuxSymbols::SetUp();
    pages_ = static_cast<char *>(mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages_, MAP_FAILED);
    memcpy(pages_ + 4096 - 4, "abcd", 4);
    munmap(pages_ + 4096, 4096);
  }
  void TearDown() override {
    munmap(pages_, 4096);
    LinuxSymbols::TearDown();
  }
  // Reads what must fail and what must succeed; returns a text naming the first surprise.
  std::string check_reads() {
    char out[16] = "untouched";
    if (!safe_read_memory(pages_ + 4096 - 4, out, 4, "mapped", 1) || memcmp(out, "abcd", 4) != 0) return "mapped";
    memcpy(out, "untouched", 10);
    if (safe_read_memory(pages_ + 4096 - 4, out, 8, "across_freed", 77)) return "across the freed page";
    if (strcmp(out, "untouched") != 0) return "destination changed";
    if (safe_read_memory(reinterpret_cast<void *>(16), out, 8, "unmapped", 78)) return "address 16";
    if (safe_read_memory_ulong(pages_ + 4096, 0, "freed", 79) != 0) return "typed read";
    std::vector<char> large(10000, 'x');
    if (!safe_read_memory(large.data(), out, 0, "empty", 80)) return "empty read";
    return "";
  }
  // In a child: refuses process_vm_readv, then reads; exits 0 when nothing surprised.
  void reads_without_kernel_copy() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_process_vm_readv, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{(unsigned short)(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      _exit(3);
    }
    std::string surprise = check_reads();
    fprintf(stderr, "surprise: %s\n", surprise.c_str());
    _exit(surprise.empty() ? 0 : 1);
  }
  char *pages_ = nullptr;
};

TEST_F(SafeReads, UnreadableMemoryGivesFalseWithTheCallersDescriptionAndLine) {
  EXPECT_EQ(check_reads(), "");
  char expected[160];
  snprintf(expected, sizeof expected, "ERROR - Failed to read 8 bytes at %p (across_freed:77).", pages_ + 4096 - 4);
  std::string text = log();
  EXPECT_TRUE(vt::contains(text, expected)) << text;
  EXPECT_TRUE(vt::contains(text, "ERROR - Failed to read 8 bytes at 0x10 (unmapped:78).")) << text;
  EXPECT_TRUE(vt::contains(text, "(freed:79).")) << text;
}

// While the VM is stopped a page once read is copied from directly; pages never read are still
// checked, and all are forgotten when the scope ends (a page unmapped later fails again).
TEST_F(SafeReads, InAStoppedVmScopePagesReadOnceAreKnownUntilItEnds) {
  char *page = nullptr;
  {
    safe_read_stopped_vm_scope stopped;
    EXPECT_EQ(check_reads(), "");
    EXPECT_TRUE(safe_read_pages_known(pages_ + 100, 8));
    EXPECT_FALSE(safe_read_pages_known(pages_ + 4096 - 4, 8)) << "the freed page was never read";
    // Mapped only now: it may take the freed page's place.
    page = static_cast<char *>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(page, MAP_FAILED);
    EXPECT_EQ(safe_read_memory_ulong(page, 0, "page", 81), 0u);
    EXPECT_TRUE(safe_read_pages_known(page, 8));
  }
  EXPECT_FALSE(safe_read_pages_known(pages_ + 100, 8));
  munmap(page, 4096);
  char out[8];
  EXPECT_FALSE(safe_read_memory(page, out, sizeof out, "unmapped after the scope", 82));
}

// Where the kernel copy is refused (a seccomp filter, as some containers have), the bytes go
// through a pipe with the same results.
class SystemSafeReads : public SafeReads {};

TEST_F(SystemSafeReads, WithTheKernelCopyRefusedReadsGoThroughAPipe) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(reads_without_kernel_copy(), ::testing::ExitedWithCode(0), "surprise: \n");
}

}  // namespace
