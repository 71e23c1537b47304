// The library's static objects, built before the entry routine attaches and
// destroyed after it detaches, in this order (and the reverse).
#pragma once

#include "sspi/context_table.h"
#include "userauth/user_context_table.h"

namespace ntseclink {

struct StaticObjects {
  SspiContextTable sspiContextTable;
  WideString localComputerName;
  WideString builtinDomainName;
  UserContextTable userContextTable;
};

StaticObjects &staticObjects();

}  // namespace ntseclink
