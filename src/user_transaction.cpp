// Stand-in until user transactions are built: threads carry no transaction state yet.
#include "user_transaction.h"

bool user_transaction_initialise(JNIEnv *) { return true; }
void user_transaction_locals_constructor(thread_locals *) {}
void user_transaction_locals_destructor(JNIEnv *, thread_locals *) {}
