// Pages a safe read already found readable while the VM is stopped. Inside a stopped-VM scope
// the platform readers copy from such pages directly: class metadata is freed only at the VM's
// own stops, so what was readable stays readable until the scope ends, and every other page is
// still checked by the kernel first. The scope belongs to the thread that opened it.
#pragma once

#include <cstddef>

// Address ranges that stay mapped and readable for the life of the process (the loaded segments of
// the JVM library, which is never unloaded): reads inside one are copied directly, in a scope or
// not. At most 16 ranges; registered once, by the thread that opens the JVM library.
void safe_read_pages_add_permanent(const void *begin, size_t length);

// True when [address, address + length) lies in a permanent range, or every page of it was found
// readable in this thread's scope.
bool safe_read_pages_known(const void *address, size_t length);
// Notes the pages of a read that succeeded (nothing outside a scope).
void safe_read_pages_add(const void *address, size_t length);

// While one lives on a thread (the VM must be stopped for all of its life), its reads use the pages.
class safe_read_stopped_vm_scope {
 public:
  safe_read_stopped_vm_scope();
  ~safe_read_stopped_vm_scope();
  safe_read_stopped_vm_scope(const safe_read_stopped_vm_scope &) = delete;
  safe_read_stopped_vm_scope &operator=(const safe_read_stopped_vm_scope &) = delete;
};
