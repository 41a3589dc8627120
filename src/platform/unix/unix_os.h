// What each Unix-like system gives the shared POSIX modules of src/unix (src/linux for Linux).
#pragma once

#include <spawn.h>

#include <cstddef>

// True when module_base is the main program's load address, with the program's file in path
// (empty when the system cannot tell); false for every other module.
bool unix_os_main_program_file(const void *module_base, char *path, size_t size);
// Closes every descriptor from 3 up by the system's own means; false when it has none, and the
// caller closes them one by one.
bool unix_os_close_descriptors_above_standard();
// Adds to the actions the closing of every descriptor from 3 up in the child; false when they
// could not all be added.
bool unix_os_spawn_closes_descriptors_above_standard(posix_spawn_file_actions_t *actions);
