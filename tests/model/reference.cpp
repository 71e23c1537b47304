// The reference model's common part: the platform path of a prediction, the
// words of outcomes, the default machine's accounts, the library's load and
// unload, the handle counters, the live resources and the group lookup both
// families make.
#include <winsim/control.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <set>

#include "reference.h"
#include "reference_support.h"

namespace ntseclink_model {

std::optional<uint32_t> PlatformPath::call(const std::string &function, std::vector<uint32_t> codes) {
  int nth = ++calls_[function];
  points_.push_back(FaultPoint{function, nth, std::move(codes)});
  if (fault_ && fault_->function == function && fault_->nth == nth) {
    reached_ = true;
    return fault_->code;
  }
  return std::nullopt;
}

std::string describeText(const std::u16string &text) {
  std::string out;
  for (char16_t unit : text) {
    if (unit >= 0x20 && unit < 0x7f) {
      out += static_cast<char>(unit);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
      out += escaped;
    }
  }
  return out;
}

std::string describeBytes(const std::vector<uint8_t> &bytes) {
  std::string hex = "bytes ";
  for (uint8_t byte : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    hex += digits;
  }
  return hex;
}

// ---- Names and accounts -------------------------------------------------------

namespace {

char16_t lower(char16_t unit) {
  return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

const std::string kNetwork = "S-1-5-21-4000-5000-6000";
const std::string kMachine = "S-1-5-21-1000-2000-3000";

const Account kAlice{u"CORVANE", u"alice", AccountType::User, kNetwork + "-1104"};
const Account kBob{u"CORVANE", u"bob", AccountType::User, kNetwork + "-1105"};
const Account kService{u"CORVANE", u"svc-tarnwell", AccountType::User, kNetwork + "-1106"};
const Account kLocalAdmin{u"WKS01", u"localadmin", AccountType::User, kMachine + "-500"};
const Account kEngineering{u"CORVANE", u"Engineering", AccountType::Group, kNetwork + "-1201"};
const Account kDomainUsers{u"CORVANE", u"Domain Users", AccountType::Group, kNetwork + "-513"};
const Account kAdministrators{u"BUILTIN", u"Administrators", AccountType::Alias, "S-1-5-32-544"};
const Account kUsers{u"BUILTIN", u"Users", AccountType::Alias, "S-1-5-32-545"};
const Account kLocalOps{u"WKS01", u"LocalOps", AccountType::Alias, kMachine + "-1001"};
const Account kEveryone{u"", u"Everyone", AccountType::WellKnown, "S-1-1-0"};
const Account kMachineDomain{u"WKS01", u"", AccountType::Domain, kMachine};

}  // namespace

std::u16string lowered(std::u16string text) {
  std::transform(text.begin(), text.end(), text.begin(), lower);
  return text;
}

bool equalsIgnoreCase(const std::u16string &a, const std::u16string &b) {
  return lowered(a) == lowered(b);
}

const Account *findAccount(const std::u16string &name) {
  static const Account *const kAll[] = {&kAlice,       &kBob,         &kService,        &kLocalAdmin,
                                        &kEngineering, &kDomainUsers, &kAdministrators, &kUsers,
                                        &kLocalOps,    &kEveryone};
  if (name.empty()) {
    return &kMachineDomain;
  }
  size_t separator = name.find(u'\\');
  size_t at = name.find(u'@');
  for (const Account *account : kAll) {
    bool matches = false;
    if (separator != std::u16string::npos) {
      matches = equalsIgnoreCase(name.substr(0, separator), account->domain) &&
                equalsIgnoreCase(name.substr(separator + 1), account->name);
    } else if (at != std::u16string::npos) {
      matches = account->domain == u"CORVANE" && equalsIgnoreCase(name, account->name + u"@corvane.test");
    } else {
      matches = equalsIgnoreCase(name, account->name);
    }
    if (matches) {
      return account;
    }
  }
  return nullptr;
}

bool belongsTo(const std::u16string &user, const std::string &groupSid) {
  static const std::map<std::u16string, std::set<std::string>> kGroups = {
      {u"CORVANE\\alice", {kEngineering.sid, kDomainUsers.sid, kUsers.sid}},
      {u"CORVANE\\bob", {kDomainUsers.sid, kLocalOps.sid, kUsers.sid}},
      {u"CORVANE\\svc-tarnwell", {kAdministrators.sid, kDomainUsers.sid, kUsers.sid}},
      {u"WKS01\\localadmin", {kAdministrators.sid, kUsers.sid, kLocalOps.sid}},
  };
  auto found = kGroups.find(user);
  return groupSid == kEveryone.sid || (found != kGroups.end() && found->second.count(groupSid) != 0);
}

// ---- Load, unload, counters ------------------------------------------------------

void ReferenceModel::load(LoadFault fault) {
  loaded_ = true;
  sspiCounter_ = 1;
  userCounter_ = 1;
  versionTested_ = false;
  resourceManager_ = fault != LoadFault::ResourceManager;
  computerNameKnown_ = fault == LoadFault::None || fault == LoadFault::BuiltinDomain;
  builtinNameKnown_ = fault == LoadFault::None;
  userAuthReady_ = fault == LoadFault::None;
}

// Contexts Java never released keep their platform handles; user contexts
// are released.
void ReferenceModel::unload() {
  for (const auto &[handle, entry] : sspi_) {
    ++leakedCredentials_;
    leakedContexts_ += entry.platformContext ? 1 : 0;
  }
  sspi_.clear();
  users_.clear();
  loaded_ = false;
}

int32_t ReferenceModel::nextHandle(int32_t &counter, bool (ReferenceModel::*live)(int32_t) const) const {
  do {
    counter = counter == std::numeric_limits<int32_t>::max() ? 1 : counter + 1;
  } while ((this->*live)(counter));
  return counter;
}

std::string ReferenceModel::expectedLiveCounts() const {
  winsim::LiveCounts counts;
  counts.credentials = leakedCredentials_ + static_cast<int>(sspi_.size());
  counts.securityContexts = leakedContexts_;
  for (const auto &[handle, entry] : sspi_) {
    counts.securityContexts += entry.platformContext ? 1 : 0;
    counts.threads += entry.impersonating ? 1 : 0;  // the impersonating thread's handle
  }
  counts.authzClientContexts = static_cast<int>(users_.size());
  counts.authzResourceManagers = loaded_ && resourceManager_ ? 1 : 0;
  counts.criticalSections = loaded_ ? 2 : 0;
  return counts.describe();
}

// ---- Groups, for both families ---------------------------------------------------

bool ReferenceModel::isLocalDomain(const std::u16string &domain) const {
  // A name not captured at load stays empty and then equals only an empty domain.
  bool computer = computerNameKnown_ ? equalsIgnoreCase(domain, u"wks01") : domain.empty();
  bool builtin = builtinNameKnown_ ? equalsIgnoreCase(domain, u"BUILTIN") : domain.empty();
  return computer || builtin;
}

uint32_t ReferenceModel::lookupGroup(PlatformPath &path, const std::u16string &group,
                                     std::string &sid) const {
  const std::vector<uint32_t> codes = {kRpcUnavailable, ERROR_NONE_MAPPED};
  if (holdsNull(group)) {
    return ERROR_NONE_MAPPED;
  }
  if (auto code = path.call("LookupAccountNameW", codes)) {
    return *code;
  }
  const Account *account = findAccount(group);
  if (account == nullptr) {
    return ERROR_NONE_MAPPED;
  }
  if (auto code = path.call("LookupAccountNameW", codes)) {
    return *code;
  }
  if (account->type != AccountType::Group && account->type != AccountType::Alias) {
    return ERROR_NONE_MAPPED;
  }
  size_t separator = group.find(u'\\');
  bool domainFits = separator == std::u16string::npos
                        ? isLocalDomain(account->domain)
                        : equalsIgnoreCase(group.substr(0, separator), account->domain);
  if (!domainFits) {
    return ERROR_NONE_MAPPED;
  }
  sid = account->sid;
  return ERROR_SUCCESS;
}

}  // namespace ntseclink_model
