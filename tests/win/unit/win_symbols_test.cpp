// Symbol lookup and safe reads on Windows, against the fake JVM library with the exports of a
// Windows JVM library (the VM structure tests load the agent's reader through it, too).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "fake_jvm.h"
#include "core/log.h"
#include "vmstructs/win/symbols.h"
#include "test_util.h"

namespace {

class WinSymbols : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new vt::TempDir("vorkel-symbols");
    ASSERT_TRUE(log_use_directory("unit", (dir_->path() + "\\logs").c_str()));
    library_ = LoadLibraryA(VORKEL_WIN_FAKE_JVM);
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string log_text() {
    std::vector<std::string> names = vt::list_directory(dir_->path() + "\\logs");
    return names.empty() ? "" : vt::read_file(dir_->path() + "\\logs\\" + names.back());
  }
  static vt::TempDir *dir_;
  static HMODULE library_;
};
vt::TempDir *WinSymbols::dir_;
HMODULE WinSymbols::library_;

TEST_F(WinSymbols, FindsTheModuleOfAHintAndItsDataAndVirtualTables) {
  ASSERT_NE(library_, nullptr);
  void *structs = reinterpret_cast<void *>(GetProcAddress(library_, "gHotSpotVMStructs"));
  void *vtable = reinterpret_cast<void *>(GetProcAddress(library_, "??_7InstanceKlass@@6B@"));
  ASSERT_NE(structs, nullptr);
  ASSERT_NE(vtable, nullptr);
  symbols_module_handle *handle = symbols_get_module_handle(nullptr, structs);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->module, library_);
  EXPECT_TRUE(vt::contains(handle->path, "vorkel_fake_jvm.dll"));
  EXPECT_EQ(lookup_symbol(nullptr, handle, "gHotSpotVMStructs"), structs);
  EXPECT_EQ(lookup_vtable(nullptr, handle, "InstanceKlass"), vtable);
  // What an object of the class points at lies just past the start of the exported table.
  EXPECT_EQ(reinterpret_cast<uint64_t>(vtable) + 16, fake_jvm_vtable_pointer(0));
  const char *data[] = {"gHotSpotVMStructs", nullptr};
  const char *classes[] = {
      "InstanceKlass", "InstanceMirrorKlass", "InstanceRefKlass", "InstanceClassLoaderKlass", "ConstantPool", nullptr};
  EXPECT_EQ(symbols_preload(nullptr, handle, data, false, true), SYMBOLS_OK);
  EXPECT_EQ(symbols_preload(nullptr, handle, classes, true, true), SYMBOLS_OK);

  // Missing names: logged with the caller's text, reported as missing, the others still found.
  const char *mixed[] = {"gHotSpotVMStructs", "gHotSpotVMTypeMissing", nullptr};
  EXPECT_EQ(symbols_preload(nullptr, handle, mixed, false, true), SYMBOLS_MISSING);
  const char *more_classes[] = {"InstanceKlass", "ConstMethod", nullptr};
  EXPECT_EQ(symbols_preload(nullptr, handle, more_classes, true, false), SYMBOLS_MISSING);
  EXPECT_EQ(lookup_symbol(nullptr, handle, "gHotSpotVMTypeMissing"), nullptr);
  EXPECT_EQ(lookup_symbol_silent(nullptr, handle, "gHotSpotVMTypeMissing"), nullptr);
  EXPECT_EQ(lookup_vtable(nullptr, handle, "Method"), nullptr);
  std::string log = log_text();
  EXPECT_TRUE(vt::contains(log, "ERROR - Required symbol gHotSpotVMTypeMissing not found.")) << log;
  EXPECT_FALSE(vt::contains(log, "ConstMethod")) << log;
  EXPECT_TRUE(vt::contains(log, "Failed to find symbol gHotSpotVMTypeMissing, GetProcAddress returned error 127."))
      << log;
  EXPECT_TRUE(vt::contains(log, "Failed to find constructor symbol Method, GetProcAddress returned error 127."));
  EXPECT_EQ(vt::count_occurrences(log, "gHotSpotVMTypeMissing"), 2u);  // the silent lookup said nothing

  const char *none[] = {nullptr};
  EXPECT_EQ(symbols_preload(nullptr, handle, none, false, true), SYMBOLS_READER_FAILED);
  EXPECT_TRUE(vt::contains(log_text(), "SymbolLookup: Empty symbol list."));
  symbols_free_module_handle(handle);

  int local = 0;
  EXPECT_EQ(symbols_get_module_handle(nullptr, &local), nullptr);
  EXPECT_TRUE(vt::contains(log_text(), "ERROR - Failed to get module handle."));
}

TEST_F(WinSymbols, SafeReadsCopyReadableMemoryAndRefuseUnmappedAddresses) {
  uint64_t *structs = fake_jvm_export("gHotSpotVMStructs");
  ASSERT_EQ(static_cast<void *>(structs), reinterpret_cast<void *>(GetProcAddress(library_, "gHotSpotVMStructs")));
  const uint64_t entries[4] = {0x5354525543545321ull, 0xFFFFFFFF00000002ull, 0x0000000000030003ull, 0};
  *structs = reinterpret_cast<uint64_t>(entries);
  uint64_t value = 0;
  ASSERT_TRUE(safe_read_memory(structs, &value, sizeof value, "structs", 1));
  EXPECT_EQ(reinterpret_cast<const uint64_t *>(value), entries);
  const void *table = safe_read_memory_ptr(structs, 0, "structs", 1);
  EXPECT_EQ(safe_read_memory_ulong(table, 0, "entry", 2), 0x5354525543545321ull);
  EXPECT_EQ(safe_read_memory_int(table, 8, "entry", 3), 2);
  EXPECT_EQ(safe_read_memory_u2(table, 16, "entry", 4), 3);
  EXPECT_EQ(safe_read_memory_ptr(table, 24, "entry", 5), nullptr);
  *structs = 0;

  // The lowest 64 KiB are never mapped: a read there fails, says who asked, and leaves the
  // destination alone. (Wine reads another process's memory through the system's own view of it,
  // where reserved but uncommitted pages read as zeros; only unmapped addresses fail there.)
  const void *page = reinterpret_cast<const void *>(uintptr_t{0x1000});
  char destination[16];
  memset(destination, 'k', sizeof destination);
  EXPECT_FALSE(safe_read_memory(page, destination, sizeof destination, "klass_pointer", 321));
  EXPECT_EQ(std::string(destination, sizeof destination), std::string(sizeof destination, 'k'));
  EXPECT_EQ(safe_read_memory_ulong(page, 8, "field_offset", 654), 0u);
  EXPECT_EQ(safe_read_memory_ptr(nullptr, 16, "null_base", 655), nullptr);
  // Reads stay safe after the switch that lets other systems copy without probing.
  disable_safety_check();
  EXPECT_FALSE(safe_read_memory(page, destination, 4, "after_disable", 987));
  std::string log = log_text();
  char expected[128];
  snprintf(expected, sizeof expected, "Failed to read 16 bytes at %p (klass_pointer:321).", page);
  EXPECT_TRUE(vt::contains(log, expected)) << log;
  EXPECT_TRUE(vt::contains(log, "(field_offset:654).")) << log;
  EXPECT_TRUE(vt::contains(log, "(after_disable:987).")) << log;
  EXPECT_TRUE(vt::contains(log, "(null_base:655).")) << log;
}

}  // namespace
