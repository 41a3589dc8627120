// Compiled for an Apple target and linked into a Mach-O dylib: the exports and the virtual tables
// that the Mach-O symbol reader looks up in a JVM library.
typedef unsigned long long uint64_t;

extern "C" {
__attribute__((visibility("default"))) uint64_t gHotSpotVMStructs = 0x1000;
__attribute__((visibility("default"))) uint64_t gHotSpotVMTypes = 0x2000;
}

// A virtual table of the older form, named "___vt_" with the length and the class name.
__attribute__((visibility("default"))) uint64_t old_form_vtable __asm__("___vt_16InstanceRefKlass") = 3;

struct __attribute__((visibility("default"))) InstanceKlass {
  virtual int kind() const;
};
int InstanceKlass::kind() const { return 0; }

// Private to the library: its table entry is not external, and it is still found.
struct __attribute__((visibility("hidden"))) ConstantPool {
  virtual int kind() const;
};
int ConstantPool::kind() const { return 4; }

__attribute__((visibility("default"))) int fake_jvm_kinds() {
  InstanceKlass klass;
  ConstantPool pool;
  return klass.kind() + pool.kind();
}
