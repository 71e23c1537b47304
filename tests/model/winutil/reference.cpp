// The reference model of the WinUtil family: registry values, the machine's
// names, the domain controller check, the product's directories and a
// refused termination.
#include "reference.h"
#include "reference_support.h"

namespace ntseclink_model {
namespace {

// ---- Registry values as the string reader sees them ------------------------

std::u16string upToTerminator(const std::u16string &text) {
  return text.substr(0, text.find(u'\0'));
}

// Strings are written with their terminator, so even an empty one has data.
std::u16string readAsString(const ModelValue &stored) {
  if (stored.isString) {
    return upToTerminator(stored.text);
  }
  std::u16string units{static_cast<char16_t>(stored.number & 0xffff),
                       static_cast<char16_t>(stored.number >> 16)};
  return upToTerminator(units);
}

const std::u16string kDataDirectory = u"C:\\ProgramData\\Corvane\\Corvane Tarnwell";
constexpr size_t kMaxPath = 260;

// Whether the natives refuse to hand the registry a key and value: a null
// or empty key (either would name the hive) or a name holding U+0000.
bool unusable(const std::optional<std::u16string> &key, const std::u16string &name) {
  return !key || key->empty() || holdsNull(*key) || holdsNull(name);
}

// Opens a key the way the registry natives do: the 64-bit view first when
// asked, then, when the key is not there, the process's own. The status of
// the last open.
uint32_t openKey(PlatformPath &path, const std::u16string &key, bool view64) {
  auto once = [&path, &key]() -> uint32_t {
    if (auto code = path.call("RegOpenKeyExW", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND})) {
      return *code;
    }
    return key == ReferenceModel::kRegistryKey ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  };
  uint32_t status = once();
  return status == ERROR_FILE_NOT_FOUND && view64 ? once() : status;
}

// The steps both registry setters take before they store: the status that
// ends the write, or 0 when the value is to be stored.
uint32_t prepareWrite(PlatformPath &path, const std::optional<std::u16string> &key,
                      const std::u16string &name, bool view64) {
  if (unusable(key, name)) {
    return ERROR_INVALID_PARAMETER;
  }
  if (uint32_t status = openKey(path, *key, view64)) {
    return status;
  }
  return path.call("RegSetValueExW", {ERROR_ACCESS_DENIED}).value_or(0);
}

}  // namespace

Outcome ReferenceModel::readString(PlatformPath &path, const std::optional<std::u16string> &key,
                                   const std::u16string &name, bool view64) {
  if (unusable(key, name) || openKey(path, *key, view64) != ERROR_SUCCESS) {
    return value("null");
  }
  auto stored = registry_.find(name);
  if (path.call("RegQueryValueExW", {ERROR_ACCESS_DENIED}) || stored == registry_.end()) {
    return value("null");
  }
  if (path.call("RegQueryValueExW", {ERROR_ACCESS_DENIED})) {
    return value("null");
  }
  return stringValue(readAsString(stored->second));
}

Outcome ReferenceModel::writeString(PlatformPath &path, const std::optional<std::u16string> &key,
                                    const std::u16string &name, const std::u16string &text, bool view64) {
  if (uint32_t status = prepareWrite(path, key, name, view64)) {
    return intValue(status);
  }
  registry_[name] = ModelValue{true, text, 0};
  return intValue(0);
}

Outcome ReferenceModel::writeInt(PlatformPath &path, const std::optional<std::u16string> &key,
                                 const std::u16string &name, int32_t number, bool view64) {
  if (uint32_t status = prepareWrite(path, key, name, view64)) {
    return intValue(status);
  }
  registry_[name] = ModelValue{false, u"", static_cast<uint32_t>(number)};
  return intValue(0);
}

Outcome ReferenceModel::computerName(PlatformPath &path, bool fullyQualified) {
  if (path.call("GetComputerNameExW", {ERROR_MORE_DATA, ERROR_ACCESS_DENIED})) {
    return value("null");
  }
  return stringValue(fullyQualified ? u"wks01.corvane.test" : u"WKS01");
}

Outcome ReferenceModel::domainControllerCheck(PlatformPath &path) {
  if (auto code =
          path.call("NetGetAnyDCName", {ERROR_NO_LOGON_SERVERS, ERROR_NO_SUCH_DOMAIN, ERROR_BAD_NETPATH})) {
    return intValue(*code);
  }
  return intValue(0);
}

Outcome ReferenceModel::productInstallPath(PlatformPath &path) {
  if (path.call("RegOpenKeyExA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}) ||
      path.call("RegQueryValueExW", {ERROR_ACCESS_DENIED, ERROR_MORE_DATA})) {
    return value("null");
  }
  return stringValue(u"C:\\Program Files\\Corvane\\Tarnwell");
}

Outcome ReferenceModel::dataFilePath(PlatformPath &path, const std::optional<std::u16string> &fileName) {
  const Outcome unresolved = failed("null", kWin + "Failed to resolve common app data path");
  if (fileName && holdsNull(*fileName)) {
    return unresolved;  // the path would end there: refused before anything is resolved
  }
  if (!path.call("RegOpenKeyExA", {ERROR_ACCESS_DENIED})) {
    // "AppDataPath" is not set; a value too long for a path is not the same.
    if (auto code = path.call("RegQueryValueExW", {ERROR_ACCESS_DENIED, ERROR_MORE_DATA})) {
      if (*code == ERROR_MORE_DATA) {
        return unresolved;
      }
    }
  }
  if (path.call("SHGetFolderPathW", {kGeneralFailure})) {
    return unresolved;
  }
  std::u16string joined = kDataDirectory + u"\\" + fileName.value_or(u"");
  if (joined.size() >= kMaxPath) {
    return unresolved;
  }
  return stringValue(joined);
}

Outcome ReferenceModel::terminateRefused(PlatformPath &path) {
  path.call("TerminateProcess", {ERROR_ACCESS_DENIED});
  return value("void");
}

}  // namespace ntseclink_model
