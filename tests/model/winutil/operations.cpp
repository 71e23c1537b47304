// The driver's WinUtil operations.
#include "driver.h"

namespace ntseclink_model {

void Driver::registry() {
  static const std::vector<std::u16string> kNames = {u"A", u"B", u"", std::u16string(u"A\0B", 3)};
  static const std::vector<std::u16string> kTexts = {u"", u"x", u"h\u00e9llo", std::u16string(u"a\0b", 3),
                                                     u"Program"};
  static const std::vector<int32_t> kNumbers = {0, 258, -1, 0x41, 0x00410042};
  std::optional<std::u16string> key = chance(90) ? ReferenceModel::kRegistryKey : ReferenceModel::kMissingKey;
  if (chance(6)) {
    // None, the hive itself, or a key cut short at U+0000.
    key = pick(std::vector<std::optional<std::u16string>>{std::nullopt, std::u16string(),
                                                          *key + std::u16string(u"\0x", 2)});
  }
  std::u16string name = pick(kNames);
  bool view64 = chance(50);
  std::string where = quoted(key) + ", \"" + describeText(name) + "\", " + (view64 ? "64" : "own");
  size_t kind = below(3);
  if (kind == 0) {
    step(
        "WinUtil.GetHKLMStringRegValue(" + where + ")",
        [&](ReferenceModel &model, PlatformPath &path) { return model.readString(path, key, name, view64); },
        [&] {
          return stringOutcome(api().WinUtil_GetHKLMStringRegValue(
              env(), nullptr, javaString(key), javaString(name), view64 ? JNI_TRUE : JNI_FALSE));
        });
  } else if (kind == 1) {
    std::u16string text = pick(kTexts);
    step(
        "WinUtil.SetHKLMStringRegValue(" + where + ", \"" + describeText(text) + "\")",
        [&](ReferenceModel &model, PlatformPath &path) {
          return model.writeString(path, key, name, text, view64);
        },
        [&] {
          return intOutcome(api().WinUtil_SetHKLMStringRegValue(env(), nullptr, javaString(key),
                                                                javaString(name), javaString(text),
                                                                view64 ? JNI_TRUE : JNI_FALSE));
        });
  } else {
    int32_t number = pick(kNumbers);
    step(
        "WinUtil.SetHKLMIntRegValue(" + where + ", " + std::to_string(number) + ")",
        [&](ReferenceModel &model, PlatformPath &path) {
          return model.writeInt(path, key, name, number, view64);
        },
        [&] {
          return intOutcome(api().WinUtil_SetHKLMIntRegValue(
              env(), nullptr, javaString(key), javaString(name), number, view64 ? JNI_TRUE : JNI_FALSE));
        });
  }
}

void Driver::machine() {
  size_t kind = below(3);
  if (kind == 2) {
    step(
        "WinUtil.GetDCCheckResultCode()",
        [&](ReferenceModel &model, PlatformPath &path) { return model.domainControllerCheck(path); },
        [&] { return intOutcome(api().WinUtil_GetDCCheckResultCode(env(), nullptr)); });
    return;
  }
  bool fullyQualified = kind == 0;
  step(
      fullyQualified ? "WinUtil.GetFullyQualifiedDnsName()" : "WinUtil.GetComputerNameNetBIOS()",
      [&](ReferenceModel &model, PlatformPath &path) { return model.computerName(path, fullyQualified); },
      [&] {
        return stringOutcome(fullyQualified ? api().WinUtil_GetFullyQualifiedDnsName(env(), nullptr)
                                            : api().WinUtil_GetComputerNameNetBIOS(env(), nullptr));
      });
}

void Driver::productDirectories() {
  if (chance(50)) {
    step(
        "WinUtil.GetProductInstallPath()",
        [&](ReferenceModel &model, PlatformPath &path) { return model.productInstallPath(path); },
        [&] { return stringOutcome(api().WinUtil_GetProductInstallPath(env(), nullptr)); });
    return;
  }
  static const std::vector<std::optional<std::u16string>> kFiles = {
      u"x.log", u"", std::nullopt, std::u16string(300, u'n'), std::u16string(u"a\0b", 3), u"sub\\..\\y.txt"};
  std::optional<std::u16string> file = pick(kFiles);
  step(
      "WinUtil.GetCommonAppDataFilePath(" + quoted(file) + ")",
      [&](ReferenceModel &model, PlatformPath &path) { return model.dataFilePath(path, file); },
      [&] {
        return stringOutcome(api().WinUtil_GetCommonAppDataFilePath(env(), nullptr, javaString(file)));
      });
}

// Only ever with the platform refusing: otherwise the run would end here.
void Driver::terminateRefused() {
  step(
      "WinUtil.TerminateProcess(7)",
      [&](ReferenceModel &model, PlatformPath &path) { return model.terminateRefused(path); },
      [&] {
        api().WinUtil_TerminateProcess(env(), nullptr, 7);
        return outcome("void");
      },
      true);
}

}  // namespace ntseclink_model
