// Network management: the domain-controller lookup and its buffers.
#include <lm.h>

#include <map>

#include "sim.h"

namespace winsim {
namespace detail {
namespace {

struct NetworkState {
  DWORD domainControllerStatus = NERR_Success;
  std::map<const void *, std::unique_ptr<char16_t[]>> buffers;
};

NetworkState &network() {
  static NetworkState *state = new NetworkState;  // never destroyed: used until exit
  return *state;
}

LPBYTE newNetBuffer(const std::u16string &text) {
  auto buffer = std::make_unique<char16_t[]>(text.size() + 1);
  copyOut(text, buffer.get(), static_cast<DWORD>(text.size() + 1));
  auto *out = reinterpret_cast<LPBYTE>(buffer.get());
  network().buffers.emplace(out, std::move(buffer));
  resourceAcquired(Resource::NetApiBuffers);
  return out;
}

// Only the local computer answers; a domain must be the machine's own.
DWORD argumentError(LPCWSTR server, LPCWSTR domain) {
  bool localServer = server == nullptr || server[0] == 0 ||
                     equalsIgnoreCase(server, u"\\\\" + computerName(ComputerNameNetBIOS)) ||
                     equalsIgnoreCase(server, computerName(ComputerNameNetBIOS));
  if (!localServer) {
    return ERROR_BAD_NETPATH;
  }
  std::u16string dnsDomain = computerName(ComputerNameDnsDomain);
  bool ownDomain = domain == nullptr || domain[0] == 0 || equalsIgnoreCase(domain, dnsDomain) ||
                   equalsIgnoreCase(domain, dnsDomain.substr(0, dnsDomain.find(u'.')));
  return ownDomain ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_NO_SUCH_DOMAIN);
}

}  // namespace

void resetNetwork() {
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  network().domainControllerStatus = NERR_Success;
  network().buffers.clear();
}

}  // namespace detail

void setDomainControllerStatus(DWORD status) {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  detail::network().domainControllerStatus = status;
}

}  // namespace winsim

using namespace winsim::detail;

WINSIM_API NET_API_STATUS WINAPI NetGetAnyDCName(LPCWSTR servername, LPCWSTR domainname, LPBYTE *bufptr) {
  if (bufptr != nullptr) {
    *bufptr = nullptr;
  }
  if (auto fault = enterCall("NetGetAnyDCName", journalText(servername) + " " + journalText(domainname))) {
    return *fault;
  }
  if (bufptr == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (DWORD error = argumentError(servername, domainname)) {
    return error;
  }
  if (DWORD status = network().domainControllerStatus) {
    return status;
  }
  *bufptr = newNetBuffer(u"\\\\dc01." + computerName(ComputerNameDnsDomain));
  return NERR_Success;
}

WINSIM_API NET_API_STATUS WINAPI NetApiBufferFree(LPVOID Buffer) {
  if (auto fault = enterCall("NetApiBufferFree")) {
    return *fault;
  }
  if (Buffer == nullptr) {
    return NERR_Success;
  }
  std::lock_guard<std::recursive_mutex> lock(machineMutex());
  if (network().buffers.erase(Buffer) == 0) {
    return ERROR_INVALID_PARAMETER;
  }
  resourceReleased(Resource::NetApiBuffers);
  return NERR_Success;
}
