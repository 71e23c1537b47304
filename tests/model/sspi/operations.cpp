// The driver's SSPI operations: contexts created, tokens passed between
// them (often the right ones, so that handshakes complete), values of
// established contexts, impersonation, and messages sealed and opened.
#include "driver.h"

namespace ntseclink_model {
namespace {

constexpr size_t kPoolSize = 24;

const char *kindName(Token::Kind kind) {
  static const char *const kNames[] = {
      "empty", "garbage", "ntlm-negotiate", "ntlm-challenge", "ntlm-authenticate", "ap-request", "ap-reply"};
  return kNames[static_cast<int>(kind)];
}

bool fromServer(Token::Kind kind) {
  return kind == Token::Kind::NtlmChallenge || kind == Token::Kind::ApReply;
}

}  // namespace

// ---- Arguments ---------------------------------------------------------------------

// Mostly a token a peer of the right role and package produced, the latest
// often, so that handshakes make progress; otherwise anything.
Bytes<Token> Driver::tokenFor(bool toServer, Package package) {
  size_t roll = below(100);
  if (roll < 6) {
    return Bytes<Token>{true, {}, Token{}, "null"};
  }
  if (roll < 11) {
    return Bytes<Token>{false, {}, Token{}, "empty"};
  }
  Bytes<Token> garbage{false, {}, Token{Token::Kind::Garbage}, "garbage"};
  if (roll < 18 || tokens_.empty()) {
    garbage.bytes.resize(1 + below(48));
    for (uint8_t &byte : garbage.bytes) {
      byte = static_cast<uint8_t>(below(256));
    }
    return garbage;
  }
  if (roll < 24) {
    garbage.bytes = pick(tokens_).bytes;
    garbage.bytes[below(garbage.bytes.size())] ^= 0x20;
    garbage.label = "changed token";
    return garbage;
  }
  std::vector<const Bytes<Token> *> fitting;
  for (const Bytes<Token> &token : tokens_) {
    if (fromServer(token.meaning.kind) != toServer && token.meaning.package == package) {
      fitting.push_back(&token);
    }
  }
  if (fitting.empty() || chance(15)) {
    return pick(tokens_);
  }
  return chance(50) ? *fitting.back() : *pick(fitting);
}

// A message some context sealed, often changed on the way; or zeros.
Bytes<std::optional<Sealed>> Driver::message() {
  size_t roll = below(100);
  if (roll < 6) {
    return Bytes<std::optional<Sealed>>{true, {}, std::nullopt, "null"};
  }
  if (roll < 16 || messages_.empty()) {
    Sealed zeros;
    zeros.length = below(40);
    return Bytes<std::optional<Sealed>>{false, std::vector<uint8_t>(zeros.length, 0), zeros, "zeros"};
  }
  Bytes<std::optional<Sealed>> message = chance(50) ? messages_.back() : pick(messages_);
  size_t form = below(10);
  if (form == 0) {
    message.bytes.resize(below(message.bytes.size()));
    message.meaning->form = Sealed::Form::Truncated;
  } else if (form == 1) {
    message.bytes.push_back(0);
    message.meaning->form = Sealed::Form::Extended;
  } else if (form == 2 && message.bytes.size() > 16) {
    message.bytes.back() ^= 0x5a;
    message.meaning->form = Sealed::Form::Flipped;
  }
  message.meaning->length = message.bytes.size();
  message.label += " of " + std::to_string(message.bytes.size()) + " bytes, form " + std::to_string(form);
  return message;
}

// ---- SSPI operations ---------------------------------------------------------------

void Driver::createContext() {
  if (model_.sspiEntries().size() > 40) {
    freeContext();
    return;
  }
  static const std::vector<std::optional<std::u16string>> kPackages = {
      std::nullopt, u"NTLM", u"NTLM",     u"Kerberos", u"Kerberos",
      u"Negotiate", u"",     u"kerberos", u"Bogus",    std::u16string(u"NTLM\0x", 6)};
  static const std::vector<std::optional<std::u16string>> kTargets = {std::nullopt,
                                                                      std::nullopt,
                                                                      u"HTTP/wks01.corvane.test",
                                                                      u"HTTP/wks01.corvane.test",
                                                                      u"host/WKS01",
                                                                      u"HTTP/elsewhere.example",
                                                                      u"",
                                                                      std::u16string(u"host/WKS01\0.x", 13)};
  static const std::vector<ULONG> kFlags = {0, 0x10, 0x12, 0x12, 0x0c, 0x20010, 0x2, 0x100};
  bool client = chance(55);
  ULONG flags = pick(kFlags);
  std::optional<std::u16string> package = pick(kPackages);
  std::optional<std::u16string> target = pick(kTargets);
  step(
      "SSPI.CreateContext(" + std::string(client ? "client" : "server") + ", " + std::to_string(flags) +
          ", " + quoted(package) + ", " + quoted(target) + ")",
      [&](ReferenceModel &model, PlatformPath &path) {
        return model.createContext(path, client, flags, package, target);
      },
      [&] {
        return intOutcome(api().SSPI_CreateContext(env(), nullptr, client ? JNI_TRUE : JNI_FALSE,
                                                   static_cast<jint>(flags), javaString(package),
                                                   javaString(target)));
      });
}

void Driver::accept() {
  int32_t handle = sspiHandle([](const SspiEntry &entry) {
    return !entry.client && (entry.state == State::Initial || entry.state == State::Negotiating);
  });
  auto entry = model_.sspiEntries().find(handle);
  Package package = entry == model_.sspiEntries().end() ? Package::Negotiate : entry->second.package;
  Bytes<Token> token = tokenFor(true, package);
  step(
      "SSPI.Accept(" + std::to_string(handle) + ", " + token.label + " " + kindName(token.meaning.kind) + ")",
      [&](ReferenceModel &model, PlatformPath &path) {
        return model.accept(path, handle, token.isNull ? std::nullopt : std::optional<Token>(token.meaning));
      },
      [&] { return boolOutcome(api().SSPI_Accept(env(), nullptr, handle, javaBytes(token))); });
}

void Driver::initialize() {
  int32_t handle =
      sspiHandle([](const SspiEntry &entry) { return entry.client && entry.state == State::Negotiating; });
  auto entry = model_.sspiEntries().find(handle);
  Package package = entry == model_.sspiEntries().end() ? Package::Negotiate : entry->second.package;
  Bytes<Token> token = tokenFor(false, package);
  step(
      "SSPI.Initialize(" + std::to_string(handle) + ", " + token.label + " " + kindName(token.meaning.kind) +
          ")",
      [&](ReferenceModel &model, PlatformPath &path) {
        return model.initialize(path, handle,
                                token.isNull ? std::nullopt : std::optional<Token>(token.meaning));
      },
      [&] { return boolOutcome(api().SSPI_Initialize(env(), nullptr, handle, javaBytes(token))); });
}

void Driver::challengeToken() {
  int32_t handle =
      sspiHandle([](const SspiEntry &entry) { return entry.lastToken.kind != Token::Kind::None; });
  std::vector<uint8_t> bytes;
  step(
      "SSPI.GetChallengeToken(" + std::to_string(handle) + ")",
      [&](ReferenceModel &model, PlatformPath &) { return model.challengeToken(handle); },
      [&] {
        jbyteArray token = api().SSPI_GetChallengeToken(env(), nullptr, handle);
        if (token == nullptr) {
          return outcome("null");
        }
        bytes = jvm_->bytes(token);
        return outcome(bytes.empty() ? "token empty" : "token some");
      });
  if (!bytes.empty()) {
    Token meaning = model_.sspiEntries().at(handle).lastToken;
    tokens_.push_back(Bytes<Token>{false, bytes, meaning, "token of " + std::to_string(handle)});
    if (tokens_.size() > kPoolSize) {
      tokens_.erase(tokens_.begin());
    }
  }
}

void Driver::establishedValue() {
  int32_t handle = sspiHandle([](const SspiEntry &entry) { return entry.state == State::Success; });
  if (chance(50)) {
    step(
        "SSPI.GetMaxTokenSize(" + std::to_string(handle) + ")",
        [&](ReferenceModel &model, PlatformPath &) { return model.maxTokenSize(handle); },
        [&] { return intOutcome(api().SSPI_GetMaxTokenSize(env(), nullptr, handle)); });
    return;
  }
  step(
      "SSPI.GetNegotiatedAttributes(" + std::to_string(handle) + ")",
      [&](ReferenceModel &model, PlatformPath &) { return model.negotiatedAttributes(handle); },
      [&] { return intOutcome(api().SSPI_GetNegotiatedAttributes(env(), nullptr, handle)); });
}

void Driver::freeContext() {
  int32_t handle = sspiHandle([](const SspiEntry &) { return true; });
  bool otherThread = chance(20);
  step(
      "SSPI.FreeHandle(" + std::to_string(handle) + ")" + (otherThread ? " on another thread" : ""),
      [&](ReferenceModel &model, PlatformPath &) { return model.freeContext(handle, otherThread); },
      [&] {
        auto call = [&](JNIEnv *callerEnv) { api().SSPI_FreeHandle(callerEnv, nullptr, handle); };
        if (otherThread) {
          return onOtherThread(call);
        }
        call(env());
        return outcome("void");
      });
  lastFreedSspi_ = handle;
}

void Driver::impersonation() {
  int32_t handle =
      sspiHandle([](const SspiEntry &entry) { return !entry.client && entry.state == State::Success; });
  if (chance(50)) {
    step(
        "SSPI.StartImpersonating(" + std::to_string(handle) + ")",
        [&](ReferenceModel &model, PlatformPath &path) { return model.startImpersonating(path, handle); },
        [&] {
          api().SSPI_StartImpersonating(env(), nullptr, handle);
          return outcome("void");
        });
    return;
  }
  bool otherThread = chance(20);
  step(
      "SSPI.StopImpersonating(" + std::to_string(handle) + ")" + (otherThread ? " on another thread" : ""),
      [&](ReferenceModel &model, PlatformPath &path) {
        return model.stopImpersonating(path, handle, otherThread);
      },
      [&] {
        auto call = [&](JNIEnv *callerEnv) { api().SSPI_StopImpersonating(callerEnv, nullptr, handle); };
        if (otherThread) {
          return onOtherThread(call);
        }
        call(env());
        return outcome("void");
      });
}

void Driver::identity() {
  int32_t handle =
      sspiHandle([](const SspiEntry &entry) { return !entry.client && entry.state == State::Success; });
  if (chance(50)) {
    step(
        "SSPI.GetClientUserName(" + std::to_string(handle) + ")",
        [&](ReferenceModel &model, PlatformPath &path) { return model.clientUserName(path, handle); },
        [&] { return stringOutcome(api().SSPI_GetClientUserName(env(), nullptr, handle)); });
    return;
  }
  step(
      "SSPI.GetContextInformation(" + std::to_string(handle) + ")",
      [&](ReferenceModel &model, PlatformPath &) { return model.contextReportHead(handle); },
      [&] {
        jstring report = api().SSPI_GetContextInformation(env(), nullptr, handle);
        if (report == nullptr) {
          return outcome("null");
        }
        // The lines after the third depend on the package.
        std::u16string text = jvm_->stringValue(report);
        size_t end = 0;
        for (int line = 0; line < 3 && end != std::u16string::npos; ++line) {
          end = text.find(u'\n', end == 0 ? 0 : end + 1);
        }
        return outcome("string " + describeText(text.substr(0, end)));
      });
}

void Driver::clientIsMember() {
  int32_t handle =
      sspiHandle([](const SspiEntry &entry) { return !entry.client && entry.state == State::Success; });
  std::optional<std::u16string> group = groupName();
  step(
      "SSPI.IsGroupMember(" + std::to_string(handle) + ", " + quoted(group) + ")",
      [&](ReferenceModel &model, PlatformPath &path) { return model.clientIsMember(path, handle, group); },
      [&] { return boolOutcome(api().SSPI_IsGroupMember(env(), nullptr, handle, javaString(group))); });
}

void Driver::wrap() {
  int32_t handle = sspiHandle([](const SspiEntry &entry) { return entry.state == State::Success; });
  std::optional<std::vector<uint8_t>> message;
  if (chance(94)) {
    message.emplace(below(48));
    for (uint8_t &byte : *message) {
      byte = static_cast<uint8_t>(below(256));
    }
  }
  std::vector<uint8_t> sealed;
  step(
      "SSPI.Wrap(" + std::to_string(handle) + ", " + (message ? describeBytes(*message) : "null") + ")",
      [&](ReferenceModel &model, PlatformPath &path) { return model.wrap(path, handle, message); },
      [&] {
        jbyteArray result =
            api().SSPI_Wrap(env(), nullptr, handle, message ? jvm_->newByteArray(*message) : nullptr);
        if (result == nullptr) {
          return outcome("null");
        }
        sealed = jvm_->bytes(result);
        return outcome("sealed " + std::to_string(sealed.size()));
      });
  if (!sealed.empty()) {
    messages_.push_back(
        {false, sealed, model_.sealedBy(handle, *message), "sealed by " + std::to_string(handle)});
    if (messages_.size() > kPoolSize) {
      messages_.erase(messages_.begin());
    }
  }
}

void Driver::unwrap() {
  Bytes<std::optional<Sealed>> message = this->message();
  // Mostly the peer the message was sealed for.
  std::optional<Sealed> sealed = message.meaning;
  int32_t handle = sspiHandle([&sealed](const SspiEntry &entry) {
    return entry.state == State::Success &&
           (!sealed || (sealed->session == entry.session && sealed->fromServer == entry.client));
  });
  step(
      "SSPI.Unwrap(" + std::to_string(handle) + ", " + message.label + ")",
      [&](ReferenceModel &model, PlatformPath &path) {
        return model.unwrap(path, handle, message.isNull ? std::nullopt : message.meaning);
      },
      [&] {
        jbyteArray plain = api().SSPI_Unwrap(env(), nullptr, handle, javaBytes(message));
        return outcome(plain == nullptr ? "null" : describeBytes(jvm_->bytes(plain)));
      });
}

}  // namespace ntseclink_model
