// The standard checks an SSPI native makes on a handle, each failure raised
// as WinAuthException with its fixed text.
#pragma once

#include "sspi/context_table.h"

namespace ntseclink {

enum class ContextRole { Client, Server };

// The context a native works on, held until the native ends.
using ContextInUse = EntryInUse<SspiContextEntry>;
ContextInUse useContext(ContextHandle handle);

// The entry in use, or null after "Invalid handle".
SspiContextEntry *findContextOrThrow(JNIEnv *env, const ContextInUse &used);
// False after "Wrong context type".
bool hasRoleOrThrow(JNIEnv *env, const SspiContextEntry &entry, ContextRole role);
// False after "Invalid state".
bool isInStateOrThrow(JNIEnv *env, const SspiContextEntry &entry, SspiContextState state);

// Whether an impersonation through the entry goes on; false when none was
// begun. One whose thread has ended ended with it: the entry forgets it, so
// that any thread may release the context or begin another.
bool impersonationLasts(SspiContextEntry &entry);

// False after "Impersonating on another thread": an impersonation is ended
// only on the thread that began it, since reverting any other thread would
// leave that one acting as the client with no way back.
bool isImpersonatingThreadOrThrow(JNIEnv *env, const SspiContextEntry &entry);

// An entry whose handshake has completed, of either role.
SspiContextEntry *establishedContext(JNIEnv *env, const ContextInUse &used);
// A server entry whose handshake has completed: what acts for the client.
SspiContextEntry *establishedServerContext(JNIEnv *env, const ContextInUse &used);

}  // namespace ntseclink
