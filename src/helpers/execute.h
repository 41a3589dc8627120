// Starting the agent's own file as a helper process. The helper modes themselves and their
// dispatch are the agent's (agent/execute_modes.h); the uploader fork is started by the snapshot.
#pragma once

#include <cstdint>

// Starts the agent's own file with the list (mode word first, null-terminated) as its arguments.
// On failure *reason is set and false returned; on success *reason is "".
bool execute_self(char *const arguments[], const char **reason, int32_t *pid);
