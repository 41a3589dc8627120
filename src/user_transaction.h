// User transactions: the per-thread transaction state and the native summaries.
#pragma once

#include <jni.h>

struct thread_locals;

bool user_transaction_initialise(JNIEnv *jni);
void user_transaction_locals_constructor(thread_locals *record);
void user_transaction_locals_destructor(JNIEnv *jni, thread_locals *record);
