// A library with the exports the agent looks for in a JVM library: the structure table and a
// class's virtual table under its Microsoft-mangled name (given by fake_jvm.def).
#include <cstdint>

extern "C" {
// A structure table of one entry and its end marker, as the JVM lays it out.
__declspec(dllexport) uint64_t gHotSpotVMStructs[8] = {0x5354525543545321ull, 1, 2, 3, 0, 0, 0, 0};
// Stands for the virtual table of InstanceKlass; exported as "??_7InstanceKlass@@6B@".
const void *fake_instance_klass_vtable[4] = {nullptr, nullptr, nullptr, nullptr};
}
