// What a start in the JVM's live phase (the agent loaded into a running JVM) does beyond the start
// at launch. What the live phase lacks:
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
#include <jvmti.h>

// Called by startNativeAgent after the modules started, when the agent was loaded in the live
// phase: the class-loader tracker learns the loaders of the classes already loaded (through the
// tagging environment tag_env), the file-stream tracker adopts streams opened before, and the
// differences to a start at launch are logged.
void agent_live_start(JNIEnv *jni, jvmtiEnv *tag_env);
