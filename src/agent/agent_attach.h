// The agent loaded into a running JVM (the JVM's attach mechanism, or the Java half's agentmain):
// the JVMTI entry Agent_OnAttach, the requests an attach can carry (attach_protocol.h), and what a
// start in the JVM's live phase does beyond the start at launch.
//
// Agent_OnAttach with agent options is the same start as -agentpath and -javaagent at launch: the
// native agent is loaded at once; the Java half (the agent jar beside the library, added to the
// system class path) is started by the thread "vorkel attach" as soon as the JVM has bound the
// library's natives, which it does when Agent_OnAttach has returned. What the live phase lacks:
// - the owned-monitor capabilities (can_get_owned_monitor_info, can_get_current_contended_monitor)
//   are OnLoad-only; blocker detection does without them, since it reads owners through
//   GetObjectMonitorUsage;
// - natives bound before the attach post no NativeMethodBind: the file-stream tracker's switch
//   unregisters them, so the JVM binds them again with the hooks, and streams opened before the
//   attach are registered (with their path) at their first read or write inside a transaction;
// - classes loaded before: their loaders are entered into the class-loader tracker at the start;
// - allocation statistics cover only instances recorded after the attach.
// Each is logged once at the start.
#pragma once

#include <jni.h>

// Called by startNativeAgent after the modules started, when the agent was loaded in the live
// phase: the class-loader tracker learns the loaders of the classes already loaded, the file-stream
// tracker adopts streams opened before, and the differences to a start at launch are logged.
void agent_attach_live_start(JNIEnv *jni);
