// The macOS symbol reader on Mach-O dylibs linked for an Apple target, thin and fat, and its
// /dev/random probing reads.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <map>
#include <sstream>

#include "core/log.h"
#include "vmstructs/mac/symbols.h"
#include "test_util.h"

namespace {

const std::string macho_dir = VORKEL_MACHO_DIR;

// Symbol values of a thin dylib, as llvm-nm lists them.
std::map<std::string, uint64_t> nm_values(const std::string &path) {
  vt::ProcessResult result = vt::run_process(VORKEL_LLVM_NM, {"llvm-nm", path});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  std::map<std::string, uint64_t> values;
  std::istringstream lines(result.out);
  std::string value, type, name;
  while (lines >> value >> type >> name) values[name] = std::stoull(value, nullptr, 16);
  return values;
}

class MachOSymbols : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(log_use_directory("unit", (dir_ / "logs").c_str())); }
  void TearDown() override { symbols_free_module_handle(handle_); }
  symbols_module_handle *open(const std::string &path) {
    symbols_free_module_handle(handle_);
    handle_ = static_cast<symbols_module_handle *>(calloc(1, sizeof(symbols_module_handle)));
    path_ = path;
    handle_->info.dli_fname = path_.c_str();
    handle_->info.dli_fbase = reinterpret_cast<void *>(base_);
    return handle_;
  }
  std::string log() {
    std::vector<std::string> files = vt::list_directory(dir_ / "logs");
    return files.empty() ? "" : vt::read_file(dir_ / ("logs/" + files[0]));
  }
  vt::TempDir dir_;
  symbols_module_handle *handle_ = nullptr;
  std::string path_;
  const uint64_t base_ = 0x7f0000000000;
};

const char *const exports[] = {"gHotSpotVMStructs", "gHotSpotVMTypes", nullptr};
const char *const vtables[] = {"InstanceKlass", "InstanceRefKlass", "ConstantPool", nullptr};

class SystemMachOSymbols : public MachOSymbols {};

TEST_F(SystemMachOSymbols, ExportsAndVirtualTablesOfThinAndFatFilesResolveAtTheLoadBase) {
  std::map<std::string, uint64_t> nm = nm_values(macho_dir + "/libfakejvm_x86_64.dylib");
  ASSERT_TRUE(nm.count("_gHotSpotVMStructs") && nm.count("__ZTV13InstanceKlass")) << "llvm-nm listed " << nm.size();
  std::string fat = vt::read_file(macho_dir + "/libfakejvm_fat.dylib");
  ASSERT_EQ(fat.substr(0, 4), std::string("\xCA\xFE\xBA\xBE", 4));
  ASSERT_EQ(fat.substr(8, 4), std::string("\x01\x00\x00\x07", 4)) << "the fat file starts with x86_64";

  for (const char *file : {"libfakejvm_x86_64.dylib", "libfakejvm_fat.dylib"}) {
    SCOPED_TRACE(file);
    symbols_module_handle *handle = open(macho_dir + "/" + file);
    EXPECT_EQ(symbols_preload(nullptr, handle, exports, false, true), SYMBOLS_OK);
    EXPECT_EQ(symbols_preload(nullptr, handle, vtables, true, true), SYMBOLS_OK);
    EXPECT_EQ((uint64_t)lookup_symbol(nullptr, handle, "gHotSpotVMStructs"), base_ + nm["_gHotSpotVMStructs"]);
    EXPECT_EQ((uint64_t)lookup_symbol(nullptr, handle, "gHotSpotVMTypes"), base_ + nm["_gHotSpotVMTypes"]);
    EXPECT_EQ((uint64_t)lookup_vtable(nullptr, handle, "InstanceKlass"), base_ + nm["__ZTV13InstanceKlass"]);
    // The older "___vt_" form and a table entry that is not external resolve as well.
    EXPECT_EQ((uint64_t)lookup_vtable(nullptr, handle, "InstanceRefKlass"), base_ + nm["___vt_16InstanceRefKlass"]);
    EXPECT_EQ((uint64_t)lookup_symbol(nullptr, handle, "_ZTV12ConstantPool"), base_ + nm["__ZTV12ConstantPool"]);
  }
  EXPECT_FALSE(vt::contains(log(), "ERROR")) << log();
}

TEST_F(MachOSymbols, AMissingNameIsReportedAndTheOthersStillResolve) {
  symbols_module_handle *handle = open(macho_dir + "/libfakejvm_x86_64.dylib");
  const char *const names[] = {"gHotSpotVMStructs", "gHotSpotVMIntConstants", "gHotSpotVMTypes", nullptr};
  EXPECT_EQ(symbols_preload(nullptr, handle, names, false, true), SYMBOLS_MISSING);
  EXPECT_NE(lookup_symbol(nullptr, handle, "gHotSpotVMStructs"), nullptr);
  EXPECT_NE(lookup_symbol(nullptr, handle, "gHotSpotVMTypes"), nullptr);
  EXPECT_EQ(lookup_symbol(nullptr, handle, "gHotSpotVMIntConstants"), nullptr);
  // A name that no preload asked for is not found either.
  EXPECT_EQ(lookup_vtable(nullptr, handle, "InstanceKlass"), nullptr);
  std::string text = log();
  EXPECT_TRUE(vt::contains(text, "ERROR - Required symbol gHotSpotVMIntConstants not found.")) << text;
  EXPECT_TRUE(vt::contains(text, "ERROR - Failed to find symbol gHotSpotVMIntConstants.")) << text;
  EXPECT_TRUE(vt::contains(text, "ERROR - Failed to find symbol _ZTV13InstanceKlass.")) << text;
  EXPECT_EQ(vt::count_occurrences(text, "Required symbol"), 1u);

  EXPECT_EQ(symbols_preload(nullptr, handle, vtables, true, true), SYMBOLS_OK);
  EXPECT_EQ(symbols_preload(nullptr, handle, exports, false, false), SYMBOLS_OK);
  EXPECT_EQ(symbols_preload(nullptr, handle, exports, false, false), SYMBOLS_READER_FAILED);
  EXPECT_TRUE(vt::contains(log(), "ERROR - SymbolLookup: Out of symbol blocks."));
}

TEST_F(MachOSymbols, FilesThatAreNotSixtyFourBitMachOFail) {
  std::string thin = vt::read_file(macho_dir + "/libfakejvm_x86_64.dylib");
  // A fat file whose first architecture is a 32-bit image, the second the 64-bit dylib.
  auto be32 = [](uint32_t v) { return std::string{(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v}; };
  std::string fat = be32(0xCAFEBABE) + be32(2);
  fat += be32(7) + be32(3) + be32(4096) + be32(28) + be32(12);
  fat += be32(0x01000007) + be32(3) + be32(8192) + be32((uint32_t)thin.size()) + be32(12);
  fat.resize(4096, '\0');
  fat += std::string("\xCE\xFA\xED\xFE", 4) + std::string(24, '\0');
  fat.resize(8192, '\0');
  fat += thin;
  ASSERT_TRUE(vt::write_file(dir_ / "fat32.dylib", fat));
  ASSERT_TRUE(vt::write_file(dir_ / "short", std::string("\xCF\xFA", 2)));

  const struct {
    std::string path;
    const char *message;
  } cases[] = {
      {dir_ / "fat32.dylib", "SymbolLookup: Not valid MACH64 header."},
      {dir_ / "short", "SymbolLookup: Could not read magic from macho header."},
      {dir_ / "missing.dylib", "SymbolLookup: Could not load object file."},
  };
  for (const auto &c : cases) {
    symbols_module_handle *handle = open(c.path);
    EXPECT_EQ(symbols_preload(nullptr, handle, exports, false, true), SYMBOLS_READER_FAILED) << c.path;
    EXPECT_EQ(lookup_symbol_silent(nullptr, handle, "gHotSpotVMStructs"), nullptr);
    EXPECT_TRUE(vt::contains(log(), std::string("ERROR - ") + c.message)) << c.message;
  }
  const char *const empty[] = {nullptr};
  EXPECT_EQ(symbols_preload(nullptr, handle_, empty, false, true), SYMBOLS_READER_FAILED);
  EXPECT_TRUE(vt::contains(log(), "ERROR - SymbolLookup: Empty symbol list."));
}

TEST_F(MachOSymbols, ProbingReadsFailOnUnmappedMemoryUntilTheCheckIsDisabled) {
  void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  memcpy(page, "readable", 9);
  char out[9] = "unchangd";
  EXPECT_TRUE(safe_read_memory(page, out, sizeof out, "probe", 1));
  EXPECT_STREQ(out, "readable");
  munmap(page, 4096);
  memcpy(out, "unchangd", 9);
  EXPECT_FALSE(safe_read_memory(page, out, sizeof out, "probe_freed", 42));
  EXPECT_STREQ(out, "unchangd");
  EXPECT_EQ(safe_read_memory_ulong(page, 0, "probe_freed", 43), 0u);
  char expected[128];
  snprintf(expected, sizeof expected, "ERROR - Failed to read 9 bytes at %p (probe_freed:42).", page);
  EXPECT_TRUE(vt::contains(log(), expected)) << log();

  uint64_t value = 77;
  disable_safety_check();
  EXPECT_TRUE(safe_read_memory(&value, out, sizeof value, "plain", 3));
  EXPECT_EQ(memcmp(out, &value, sizeof value), 0);
}

}  // namespace
