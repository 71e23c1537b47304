// The table of SSPI security contexts that Java names by handle.
#pragma once

#include <windows.h>
#include <sspi.h>

#include "bridge/handle_table.h"
#include "bridge/jni_bridge.h"
#include "bridge/platform_resource.h"

namespace ntseclink {

using ContextHandle = jint;

using SspiCredentials = PlatformResource<CredHandle, FreeCredentialsHandle>;
using SspiSecurityContext = PlatformResource<CtxtHandle, DeleteSecurityContext>;

enum class SspiContextState : int32_t { Initial = 0, Negotiating = 1, Success = 2, Error = 3 };

struct SspiContextEntry : TableEntry {
  SspiContextState state = SspiContextState::Initial;
  // Given back when the entry is removed (by FreeHandle, or when its
  // creation fails): the context first, as members go in reverse order.
  SspiCredentials credentials;
  SspiSecurityContext context;
  ULONG contextAttributes = 0;
  ULONG requestedFlags = 0;
  WideString targetName;
  bool isKerberos = false;
  bool isClient = false;
  // The thread impersonating the client through this context, if any: the
  // only one that may end the impersonation. A handle to it is held
  // meanwhile, so that its id names no other thread (Windows reuses the ids
  // of ended threads once no handle refers to them) and so that its end
  // shows: a thread that ends takes its impersonation with it.
  OwnedHandle impersonatingThread;
  DWORD impersonatingThreadId = 0;
  ByteBuffer outputToken;
  ByteBuffer trailerBuffer;
  ByteBuffer paddingBuffer;
  SecPkgContext_Sizes sizes{};

  bool impersonating() const { return static_cast<bool>(impersonatingThread); }
  void forgetImpersonation() {
    impersonatingThread.reset();
    impersonatingThreadId = 0;
  }
};

using SspiContextTable = HandleTable<SspiContextEntry>;

// The process-wide table, a static object of the library entry, and the
// family's lock, which guards the table alone (see bridge/handle_table.h) and
// which the entry creates at load and deletes at unload.
SspiContextTable &sspiContextTable();
CRITICAL_SECTION &libraryLock();

// Unload: every entry Java never released lets go of its handles without
// giving them back (why: see the library entry).
void disownSspiContexts();

// The next handle for a creation attempt, taken under the family's lock; the
// counter stays advanced whatever the creation does.
ContextHandle nextSspiHandle();
void resetSspiHandleCounter();
void setSspiHandleCounterForTesting(ContextHandle value);

// What a successful handshake step leaves in its entry, made in full before
// the entry changes, so that a step takes effect whole or not at all.
struct PreparedStep {
  SspiContextState state = SspiContextState::Negotiating;
  ByteBuffer outputToken;
  SecPkgContext_Sizes sizes{};
  ByteBuffer trailerBuffer;
  ByteBuffer paddingBuffer;
};

// Completion step of a handshake: the package's sizes, and the trailer and
// padding space message protection uses. Throws the platform error and
// returns false when the query fails.
bool querySizes(JNIEnv *env, CtxtHandle *context, PreparedStep &step);

// Puts a prepared step into its entry, which has not completed a step yet;
// nothing here can fail.
void commitStep(SspiContextEntry &entry, PreparedStep &step) noexcept;

// The byte count a package reported for an output buffer, never more than the
// room it was given.
ULONG bytesWritten(const SecBuffer &buffer, ULONG capacity);

}  // namespace ntseclink
