// What the agent's attach entry (Agent_OnAttach) and the vorkel command agree on. The command
// talks to a JVM through the JVM's own attach mechanism only: it loads the agent library with
// agent options (the start), or with a request instead of options; the JVM answers what
// Agent_OnAttach returned ("return code: N"), and the started agent publishes its state as system
// properties, which the attach mechanism lists.
#pragma once

#include <string_view>

// Options of the form "request=NAME" ask an agent that is already running for something.
constexpr std::string_view ATTACH_REQUEST_PREFIX = "request=";
// Takes a snapshot now, on the attach mechanism's thread; the answer comes when it is written.
constexpr std::string_view ATTACH_REQUEST_SNAPSHOT = "snapshot";

// What Agent_OnAttach returns. Every code but ATTACH_OK lets the JVM unload the library again,
// so a code other than ATTACH_OK is only returned when this load changed nothing.
enum attach_result : int {
  ATTACH_OK = 0,                 // started (see ATTACH_PROPERTY_STATE), or the request was done
  ATTACH_ALREADY_LOADED = 100,   // a start into a JVM that has the agent: nothing was changed
  ATTACH_NOT_STARTED = 101,      // a request to a JVM without a started agent
  ATTACH_BAD_REQUEST = 102,      // a request the agent does not know
  ATTACH_SNAPSHOT_FAILED = 103,  // the snapshot was not taken or is not valid (see the agent's log)
  ATTACH_NO_JNI = 104,           // the JVM gave the attach no JNI environment
};

// System properties of the JVM that runs the agent, set by its Java half at the start.
constexpr const char *ATTACH_PROPERTY_VERSION = "vorkel.agent.version";  // the agent jar's version
constexpr const char *ATTACH_PROPERTY_HOME = "vorkel.agent.home";        // the agent home in the JVM
constexpr const char *ATTACH_PROPERTY_WORK = "vorkel.agent.work";        // its work directory
// "starting", then "started" or "failed: REASON".
constexpr const char *ATTACH_PROPERTY_STATE = "vorkel.agent.state";
// "true" when the agent was loaded into the running JVM, "false" when it came with the JVM's start.
constexpr const char *ATTACH_PROPERTY_ATTACHED = "vorkel.agent.attached";
// The directory of the snapshot the last request took (set before the request is answered).
constexpr const char *ATTACH_PROPERTY_SNAPSHOT = "vorkel.agent.snapshot";
