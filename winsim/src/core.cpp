// Journal, faults, live-resource counts, SIDs and text helpers.
#include "sim.h"

#include <cstdio>
#include <map>
#include <sstream>
#include <thread>

namespace winsim {
namespace detail {
namespace {

struct ScheduledFault {
  std::string function;
  uint32_t code;
  int remaining;  // calls to let pass before this one fails; -1: every call
};

struct CallState {
  std::mutex mutex;
  std::vector<JournalEntry> journal;
  std::vector<ScheduledFault> faults;
  std::map<std::string, std::chrono::microseconds> latencies;
  std::map<Resource, int> live;
};

CallState &callState() {
  static CallState *state = new CallState;  // never destroyed: used until exit
  return *state;
}

thread_local DWORD lastError = 0;

// Journals the call; the fault scheduled for it, if any.
std::optional<uint32_t> recordCall(CallState &state, const char *function, std::string detail) {
  state.journal.push_back({function, std::move(detail)});
  for (auto it = state.faults.begin(); it != state.faults.end(); ++it) {
    if (it->function != function) {
      continue;
    }
    if (it->remaining < 0) {
      return it->code;
    }
    if (it->remaining == 0) {
      uint32_t code = it->code;
      state.faults.erase(it);
      return code;
    }
    --it->remaining;
  }
  return std::nullopt;
}

std::chrono::microseconds latencyOf(const CallState &state, const char *function) {
  auto found = state.latencies.find(function);
  return found == state.latencies.end() ? std::chrono::microseconds(0) : found->second;
}

}  // namespace

std::optional<uint32_t> enterCall(const char *function, std::string detail) {
  CallState &state = callState();
  std::optional<uint32_t> fault;
  std::chrono::microseconds latency(0);
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    fault = recordCall(state, function, std::move(detail));
    latency = latencyOf(state, function);
  }
  // Under no lock of the platform's, so that other calls go on meanwhile.
  if (latency.count() > 0) {
    std::this_thread::sleep_for(latency);
  }
  return fault;
}

BOOL failWith(uint32_t error) {
  lastError = error;
  return FALSE;
}

void resourceAcquired(Resource kind) {
  std::lock_guard<std::mutex> lock(callState().mutex);
  ++callState().live[kind];
}

void resourceReleased(Resource kind) {
  std::lock_guard<std::mutex> lock(callState().mutex);
  --callState().live[kind];
}

void forgetResources() {
  std::lock_guard<std::mutex> lock(callState().mutex);
  callState().live.clear();
}

std::recursive_mutex &machineMutex() {
  static std::recursive_mutex *mutex = new std::recursive_mutex;
  return *mutex;
}

std::u16string toU16(const std::string &ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

std::string toUtf8(const std::u16string &text) {
  std::string out;
  for (char16_t unit : text) {
    if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | (unit >> 6));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (unit >> 12));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return out;
}

static char16_t foldAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

bool equalsIgnoreCase(const std::u16string &a, const std::u16string &b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (foldAscii(a[i]) != foldAscii(b[i])) {
      return false;
    }
  }
  return true;
}

bool copyOut(const std::u16string &text, WCHAR *buffer, DWORD capacity) {
  if (buffer == nullptr || capacity < text.size() + 1) {
    return false;
  }
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return true;
}

std::vector<BYTE> Sid::bytes() const {
  std::vector<BYTE> out(8 + 4 * subAuthorities.size());
  out[0] = 1;
  out[1] = static_cast<BYTE>(subAuthorities.size());
  std::copy(authority.begin(), authority.end(), out.begin() + 2);
  for (size_t i = 0; i < subAuthorities.size(); ++i) {
    for (size_t byte = 0; byte < 4; ++byte) {
      out[8 + 4 * i + byte] = static_cast<BYTE>(subAuthorities[i] >> (8 * byte));
    }
  }
  return out;
}

std::string Sid::text() const {
  uint64_t value = 0;
  for (BYTE b : authority) {
    value = (value << 8) | b;
  }
  std::string out = "S-1-" + std::to_string(value);
  for (DWORD sub : subAuthorities) {
    out += "-" + std::to_string(sub);
  }
  return out;
}

bool Sid::operator==(const Sid &other) const {
  return authority == other.authority && subAuthorities == other.subAuthorities;
}

std::optional<Sid> Sid::fromMemory(const void *sid) {
  if (sid == nullptr) {
    return std::nullopt;
  }
  const BYTE *raw = static_cast<const BYTE *>(sid);
  if (raw[0] != 1 || raw[1] > 15) {
    return std::nullopt;
  }
  Sid out;
  std::copy(raw + 2, raw + 8, out.authority.begin());
  for (int i = 0; i < raw[1]; ++i) {
    const BYTE *p = raw + 8 + 4 * i;
    out.subAuthorities.push_back(static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 |
                                 static_cast<DWORD>(p[2]) << 16 | static_cast<DWORD>(p[3]) << 24);
  }
  return out;
}

Sid Sid::parse(const std::string &text) {
  Sid out;
  std::istringstream in(text.substr(4));  // after "S-1-"
  std::string part;
  std::getline(in, part, '-');
  uint64_t value = std::stoull(part);
  for (int i = 5; i >= 0; --i) {
    out.authority[static_cast<size_t>(i)] = static_cast<BYTE>(value & 0xFF);
    value >>= 8;
  }
  while (std::getline(in, part, '-')) {
    out.subAuthorities.push_back(static_cast<DWORD>(std::stoul(part)));
  }
  return out;
}

}  // namespace detail

using detail::Resource;

int LiveCounts::total() const {
  return credentials + securityContexts + tokens + authzResourceManagers + authzClientContexts + sids +
         packageBuffers + registryKeys + criticalSections + localAllocations + netApiBuffers + threads;
}

std::string LiveCounts::describe() const {
  std::string out;
  auto add = [&out](const char *name, int count) {
    if (count != 0) {
      out += (out.empty() ? "" : " ") + std::string(name) + "=" + std::to_string(count);
    }
  };
  add("credentials", credentials);
  add("securityContexts", securityContexts);
  add("tokens", tokens);
  add("authzResourceManagers", authzResourceManagers);
  add("authzClientContexts", authzClientContexts);
  add("sids", sids);
  add("packageBuffers", packageBuffers);
  add("registryKeys", registryKeys);
  add("criticalSections", criticalSections);
  add("localAllocations", localAllocations);
  add("netApiBuffers", netApiBuffers);
  add("threads", threads);
  return out.empty() ? "none" : out;
}

LiveCounts liveCounts() {
  auto &state = detail::callState();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto count = [&state](Resource kind) {
    auto it = state.live.find(kind);
    return it == state.live.end() ? 0 : it->second;
  };
  LiveCounts out;
  out.credentials = count(Resource::Credentials);
  out.securityContexts = count(Resource::SecurityContexts);
  out.tokens = count(Resource::Tokens);
  out.authzResourceManagers = count(Resource::AuthzResourceManagers);
  out.authzClientContexts = count(Resource::AuthzClientContexts);
  out.sids = count(Resource::Sids);
  out.packageBuffers = count(Resource::PackageBuffers);
  out.registryKeys = count(Resource::RegistryKeys);
  out.criticalSections = count(Resource::CriticalSections);
  out.localAllocations = count(Resource::LocalAllocations);
  out.netApiBuffers = count(Resource::NetApiBuffers);
  out.threads = count(Resource::Threads);
  return out;
}

void failCall(const std::string &function, uint32_t code, int nth) {
  auto &state = detail::callState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.faults.push_back({function, code, nth < 1 ? 0 : nth - 1});
}

void failAlways(const std::string &function, uint32_t code) {
  auto &state = detail::callState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.faults.push_back({function, code, -1});
}

void setCallLatency(const std::string &function, std::chrono::microseconds latency) {
  auto &state = detail::callState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (latency.count() > 0) {
    state.latencies[function] = latency;
  } else {
    state.latencies.erase(function);
  }
}

namespace {
void clearLatencies() {
  auto &state = detail::callState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.latencies.clear();
}
}  // namespace

void clearFaults() {
  auto &state = detail::callState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.faults.clear();
}

int pendingFaults() {
  auto &state = detail::callState();
  std::lock_guard<std::mutex> lock(state.mutex);
  int pending = 0;
  for (const auto &fault : state.faults) {
    pending += fault.remaining >= 0 ? 1 : 0;
  }
  return pending;
}

std::vector<JournalEntry> journal() {
  auto &state = detail::callState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.journal;
}

std::vector<std::string> journalNames() {
  std::vector<std::string> names;
  for (const auto &entry : journal()) {
    names.push_back(entry.function);
  }
  return names;
}

void clearJournal() {
  auto &state = detail::callState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.journal.clear();
}

void resetMachine() {
  std::lock_guard<std::recursive_mutex> lock(detail::machineMutex());
  clearFaults();
  clearJournal();
  clearLatencies();
  detail::resetAccounts();
  detail::resetTokens();
  detail::resetKernel();
  detail::resetRegistry();
  detail::resetFiles();
  detail::resetAuthz();
  detail::resetNetwork();
  detail::resetPackages();
  detail::forgetResources();
}

}  // namespace winsim

extern "C" WINSIM_API DWORD WINAPI GetLastError(void) {
  return winsim::detail::lastError;
}

extern "C" WINSIM_API void WINAPI SetLastError(DWORD dwErrCode) {
  winsim::detail::lastError = dwErrCode;
}
