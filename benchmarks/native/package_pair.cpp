#include "package_pair.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace ntseclink_bench {

void requireSuccess(SECURITY_STATUS status, const char *function) {
  if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
    char code[16];
    std::snprintf(code, sizeof code, "%08x", static_cast<unsigned>(status));
    throw std::runtime_error(std::string(function) + " failed with " + code);
  }
}

PackagePair::PackagePair(const std::u16string &package, ULONG clientFlags, const std::u16string &target)
    : client_(package, SECPKG_CRED_OUTBOUND), server_(package, SECPKG_CRED_INBOUND) {
  requireSuccess(client_.acquireStatus, "AcquireCredentialsHandleW");
  requireSuccess(server_.acquireStatus, "AcquireCredentialsHandleW");
  if (!handshake::establish(client_, server_, target, clientFlags)) {
    throw std::runtime_error("the package's handshake did not complete");
  }
}

SecPkgContext_Sizes PackagePair::sizes() {
  SecPkgContext_Sizes sizes{};
  requireSuccess(QueryContextAttributesW(client(), SECPKG_ATTR_SIZES, &sizes), "QueryContextAttributesW");
  return sizes;
}

}  // namespace ntseclink_bench
