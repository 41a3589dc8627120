// The snapshot's class listing from VM structures ("full" mode, has_full_hotspot_symbols): the
// class details JVMTI gives before the walk are kept for the class, and its lines are written from
// the VM's own metadata while the VM is stopped.
#pragma once

#include <jvmti.h>

#include <cstdint>

#include "snapshot/oom_writer.h"

// The class's signature and method array, given by JVMTI (the caller gives both back with
// Deallocate). A class that is not prepared yet has no methods; other errors are logged and leave
// that detail null.
void oom_classes_vm_keep_details(jvmtiEnv *jvmti, jclass klass, char **signature, jmethodID **methods,
                                 int32_t *method_count);
// The class line with the kept signature ("UNKNOWN_CLASS" without one), then the fields and the
// methods read from the VM's metadata, with their counts and string lengths in the summary
// counters. Reads memory and writes the info file only, so it may run while the VM is stopped.
void dump_class_via_sa(snapshot_record *snapshot, int64_t id, jclass klass, const char *signature, jmethodID *methods,
                       int32_t method_count);
// Current HotSpot: the class-size record with the parts of the class's metadata,
// "ID TOTAL metaspace=M shared=S klass=K constants=C methods=N fields=F other=O", where TOTAL is
// the class object's base size plus the metadata (M + S, the bytes in the loader's metaspace and
// in the class data archive), then " loader=0xADDRESS", the defining loader object's address while
// the VM is stopped for the section (0: the boot loader; it joins the classes the heap walk does
// not reach, hidden ones, to their loaders), and " unreadable=PART,..." when parts could not be read.
// Sets *metadata_size. False on the old generations, whose record is "ID TOTAL" alone.
bool oom_classes_vm_size_record(snapshot_record *snapshot, int64_t id, jclass klass, uint32_t base_size,
                                uint32_t *metadata_size);
