// The snapshot's heap walk: the object graph written to the graph file under temporary tags, and
// the restore of the original tags afterwards.
#pragma once

#include <jvmti.h>

struct snapshot_dump;

// Opens the graph file, walks the heap (dump_object_graph), reports a tag overflow or a memory
// shortage as an error notification, and closes the file.
void snapshot_dump_object_graph(snapshot_dump *dump);
// The walk itself; stores "Dump STW time" and the object count.
void dump_object_graph(snapshot_dump *dump);
// Gives every temporarily tagged object its tag from before the walk; stores "Restore STW time".
void restore_object_tags(snapshot_dump *dump);
