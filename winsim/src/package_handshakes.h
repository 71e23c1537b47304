// The handshake steps behind InitializeSecurityContextW and
// AcceptSecurityContext.
#pragma once

#include <string>

#include "package_state.h"

namespace winsim::detail {

// The arguments of a step besides the client's target.
struct StepCall {
  PCredHandle credential;
  PCtxtHandle existing;  // null for the first step, which creates the context
  PCtxtHandle newContext;
  PSecBufferDesc input;
  PSecBufferDesc output;
  ULONG request;
  ULONG *attributes;
  PTimeStamp expiry;
};

// One step of a client or a server context, under the machine lock. A failed
// step leaves the context as it was, and a failed first step creates none.
SECURITY_STATUS clientStep(const StepCall &call, const std::u16string &target);
SECURITY_STATUS serverStep(const StepCall &call);

}  // namespace winsim::detail
