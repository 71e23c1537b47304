#include "package_tokens.h"

#include <cstdio>
#include <cstring>

namespace winsim::detail {
namespace {

constexpr char kTokenMagic[] = "WINSIM-SSP/1";
constexpr char kChecksumField[] = "checksum: ";
constexpr uint64_t kTokenChecksumKey = 0x746F6B656E73756DULL;

std::optional<std::u16string> fromUtf8(const std::string &text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 0;
    if (length == 0 || i + length > text.size()) {
      return std::nullopt;
    }
    unsigned unit = length == 1 ? lead : lead & (length == 2 ? 0x1Fu : 0x0Fu);
    for (size_t j = 1; j < length; ++j) {
      auto next = static_cast<unsigned char>(text[i + j]);
      if ((next & 0xC0) != 0x80) {
        return std::nullopt;
      }
      unit = (unit << 6) | (next & 0x3Fu);
    }
    out += static_cast<char16_t>(unit);
    i += length;
  }
  return out;
}

std::optional<uint64_t> parseHex(const std::string &text, size_t digits) {
  if (text.size() != digits || text.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoull(text, nullptr, 16);
}

uint64_t checksumOf(const std::string &body) {
  return digest(kTokenChecksumKey, reinterpret_cast<const BYTE *>(body.data()), body.size());
}

}  // namespace

std::string hex(uint64_t value, int digits) {
  char text[17];
  std::snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
  return text;
}

// ---- Token -------------------------------------------------------------------------

std::vector<BYTE> Token::seal() const {
  std::string body = std::string(kTokenMagic) + "\n";
  for (const auto &[key, value] : fields_) {
    body += key + ": " + value + "\n";
  }
  body += kChecksumField + hex(checksumOf(body), 16) + "\n";
  return std::vector<BYTE>(body.begin(), body.end());
}

std::optional<Token> Token::open(const BYTE *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  size_t checksumLine = text.rfind(std::string("\n") + kChecksumField);
  if (checksumLine == std::string::npos || text.back() != '\n') {
    return std::nullopt;
  }
  std::string body = text.substr(0, checksumLine + 1);
  std::string checksum = text.substr(body.size() + std::strlen(kChecksumField));
  checksum.pop_back();
  if (parseHex(checksum, 16) != checksumOf(body) || body.rfind(std::string(kTokenMagic) + "\n", 0) != 0) {
    return std::nullopt;
  }
  return parseFields(body.substr(std::strlen(kTokenMagic) + 1));
}

std::optional<std::string> Token::single(const std::string &key) const {
  std::optional<std::string> found;
  for (const auto &[name, value] : fields_) {
    if (name == key) {
      if (found) {
        return std::nullopt;
      }
      found = value;
    }
  }
  return found;
}

std::optional<uint64_t> Token::number(const std::string &key, size_t digits) const {
  auto value = single(key);
  return value ? parseHex(*value, digits) : std::nullopt;
}

std::optional<std::u16string> Token::text(const std::string &key) const {
  auto value = single(key);
  return value ? fromUtf8(*value) : std::nullopt;
}

std::optional<Token> Token::parseFields(const std::string &lines) {
  Token token;
  for (size_t start = 0; start < lines.size();) {
    size_t end = lines.find('\n', start);
    std::string line = lines.substr(start, end - start);
    size_t separator = line.find(": ");
    if (separator == std::string::npos || separator == 0) {
      return std::nullopt;
    }
    token.add(line.substr(0, separator), line.substr(separator + 2));
    start = end + 1;
  }
  return token;
}

// ---- Tokens of a context --------------------------------------------------------------

Token startToken(const Context &context, const char *kind) {
  Token token;
  token.add("package", toUtf8(nameOf(context.package)));
  token.add("mechanism", toUtf8(nameOf(context.mechanism)));
  token.add("message", kind);
  return token;
}

std::optional<Package> mechanismOf(const Token &token, Package receiverPackage) {
  if (token.single("package") != toUtf8(nameOf(receiverPackage))) {
    return std::nullopt;
  }
  auto mechanism = token.text("mechanism");
  auto found = mechanism ? findPackage(*mechanism) : std::nullopt;
  if (!found || *found == Package::Negotiate) {
    return std::nullopt;
  }
  bool fits = receiverPackage == Package::Negotiate || *found == receiverPackage;
  return fits ? found : std::nullopt;
}

std::optional<Package> spokenPackage(const Token &token, Package serverPackage) {
  auto name = token.text("package");
  auto spoken = name ? findPackage(*name) : std::nullopt;
  if (!spoken || (*spoken != serverPackage && serverPackage != Package::Negotiate)) {
    return std::nullopt;
  }
  return spoken;
}

bool isMessage(const Token &token, const Context &context, const char *kind) {
  return mechanismOf(token, context.package) == context.mechanism && token.single("message") == kind;
}

}  // namespace winsim::detail
