#include "fake_jvm.h"

#include <cstring>

#ifdef _WIN32
#define FAKE_JVM_DATA __declspec(dllexport)
#else
#define FAKE_JVM_DATA __attribute__((visibility("default")))
#endif

extern "C" {
FAKE_JVM_DATA uint64_t gHotSpotVMStructs, gHotSpotVMTypes, gHotSpotVMIntConstants;
FAKE_JVM_DATA uint64_t gHotSpotVMStructEntryTypeNameOffset, gHotSpotVMStructEntryFieldNameOffset,
    gHotSpotVMStructEntryTypeStringOffset, gHotSpotVMStructEntryIsStaticOffset, gHotSpotVMStructEntryOffsetOffset,
    gHotSpotVMStructEntryAddressOffset, gHotSpotVMStructEntryArrayStride, gHotSpotVMTypeEntryTypeNameOffset,
    gHotSpotVMTypeEntrySuperclassNameOffset, gHotSpotVMTypeEntryIsOopTypeOffset, gHotSpotVMTypeEntryIsIntegerTypeOffset,
    gHotSpotVMTypeEntryIsUnsignedOffset, gHotSpotVMTypeEntrySizeOffset, gHotSpotVMTypeEntryArrayStride,
    gHotSpotVMIntConstantEntryNameOffset, gHotSpotVMIntConstantEntryValueOffset, gHotSpotVMIntConstantEntryArrayStride;
}

#define EXPORT_ROW(name) \
  { #name, &name }
uint64_t *fake_jvm_export(const char *name) {
  const struct {
    const char *name;
    uint64_t *variable;
  } rows[] = {
      EXPORT_ROW(gHotSpotVMStructs),
      EXPORT_ROW(gHotSpotVMTypes),
      EXPORT_ROW(gHotSpotVMIntConstants),
      EXPORT_ROW(gHotSpotVMStructEntryTypeNameOffset),
      EXPORT_ROW(gHotSpotVMStructEntryFieldNameOffset),
      EXPORT_ROW(gHotSpotVMStructEntryTypeStringOffset),
      EXPORT_ROW(gHotSpotVMStructEntryIsStaticOffset),
      EXPORT_ROW(gHotSpotVMStructEntryOffsetOffset),
      EXPORT_ROW(gHotSpotVMStructEntryAddressOffset),
      EXPORT_ROW(gHotSpotVMStructEntryArrayStride),
      EXPORT_ROW(gHotSpotVMTypeEntryTypeNameOffset),
      EXPORT_ROW(gHotSpotVMTypeEntrySuperclassNameOffset),
      EXPORT_ROW(gHotSpotVMTypeEntryIsOopTypeOffset),
      EXPORT_ROW(gHotSpotVMTypeEntryIsIntegerTypeOffset),
      EXPORT_ROW(gHotSpotVMTypeEntryIsUnsignedOffset),
      EXPORT_ROW(gHotSpotVMTypeEntrySizeOffset),
      EXPORT_ROW(gHotSpotVMTypeEntryArrayStride),
      EXPORT_ROW(gHotSpotVMIntConstantEntryNameOffset),
      EXPORT_ROW(gHotSpotVMIntConstantEntryValueOffset),
      EXPORT_ROW(gHotSpotVMIntConstantEntryArrayStride),
  };
  for (const auto &row : rows) {
    if (strcmp(row.name, name) == 0) return row.variable;
  }
  return nullptr;
}

void fake_jvm_reset_layout() {
  gHotSpotVMStructEntryTypeNameOffset = 0;
  gHotSpotVMStructEntryFieldNameOffset = 8;
  gHotSpotVMStructEntryTypeStringOffset = 16;
  gHotSpotVMStructEntryIsStaticOffset = 24;
  gHotSpotVMStructEntryOffsetOffset = 32;
  gHotSpotVMStructEntryAddressOffset = 40;
  gHotSpotVMStructEntryArrayStride = 48;
  gHotSpotVMTypeEntryTypeNameOffset = 0;
  gHotSpotVMTypeEntrySuperclassNameOffset = 8;
  gHotSpotVMTypeEntryIsOopTypeOffset = 16;
  gHotSpotVMTypeEntryIsIntegerTypeOffset = 20;
  gHotSpotVMTypeEntryIsUnsignedOffset = 24;
  gHotSpotVMTypeEntrySizeOffset = 32;
  gHotSpotVMTypeEntryArrayStride = 40;
  gHotSpotVMIntConstantEntryNameOffset = 0;
  gHotSpotVMIntConstantEntryValueOffset = 8;
  gHotSpotVMIntConstantEntryArrayStride = 16;
}

int fake_jvm_allocate(void *, long, unsigned char **) { return 0; }

// At namespace scope, so that their virtual tables carry the plain names (_ZTV13InstanceKlass, ...).
// The Windows build exports them under the names a JVM library built for Windows has
// (tests/win/programs/fake_jvm.def).
struct Metadata {
  virtual ~Metadata() = default;
  virtual int kind() const = 0;
};
struct InstanceKlass : Metadata {
  int kind() const override { return 0; }
};
struct InstanceMirrorKlass : InstanceKlass {
  int kind() const override { return 1; }
};
struct InstanceRefKlass : InstanceKlass {
  int kind() const override { return 2; }
};
struct InstanceClassLoaderKlass : InstanceKlass {
  int kind() const override { return 3; }
};
struct ConstantPool : Metadata {
  int kind() const override { return 4; }
};

namespace {
template <typename T>
uint64_t vptr() {
  static T object;
  return *reinterpret_cast<const uint64_t *>(&object);
}
}  // namespace

uint64_t fake_jvm_vtable_pointer(int kind) {
  switch (kind) {
    case 0:
      return vptr<InstanceKlass>();
    case 1:
      return vptr<InstanceMirrorKlass>();
    case 2:
      return vptr<InstanceRefKlass>();
    case 3:
      return vptr<InstanceClassLoaderKlass>();
    default:
      return vptr<ConstantPool>();
  }
}
