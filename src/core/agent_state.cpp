#include "core/agent_state.h"

agent_globals_record *agent_globals = nullptr;
