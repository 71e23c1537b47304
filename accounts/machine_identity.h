// The machine's own names, which the account-name rules compare domain parts
// with: captured once at load, read without a lock after.
#pragma once

#include <windows.h>

#include "bridge/jni_bridge.h"

namespace ntseclink {

// Each name stays empty until captured; an empty name equals only an empty
// domain part.
struct MachineIdentity {
  WideString localComputerName;
  WideString builtinDomainName;
};

// The process's one identity, a static object of the library entry.
MachineIdentity &machineIdentity();

// The computer's DNS host name; 0, or the last error.
DWORD captureLocalComputerName();
// The name the system gives the built-in domain (it may be localised); 0, or
// the last error.
DWORD captureBuiltinDomainName();

}  // namespace ntseclink
