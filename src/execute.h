// The library as a program: helper modes ("notify", "monitor"), starting itself, and starting the
// uploader fork.
#pragma once

#include <cstdint>

void execute_pre_entry_point();
// Returns the helper's exit status: 0 when its work succeeded.
int execute_entry_point(char **arguments, int count);
// Starts the agent's own file with the list (mode word first, null-terminated) as its arguments.
// On failure *reason is set and false returned; on success *reason is "".
bool execute_self(char *const arguments[], const char **reason, int32_t *pid);

// Starts the uploader JVM: the configured JVM arguments, "-Xmx256m", "-DvorkelFork=1", "-jar",
// the agent jar, "forked_job", mode ("oom" or "all") and directory, with "VORKEL_HOME" set to
// the agent's home directory. The agent does not wait for it.
bool oom_start_fork(const char *mode, const char *directory);

// The program entry of a helper process: signal handling, then dispatch on the mode word.
int execute_os_main(int argc, char **argv);
