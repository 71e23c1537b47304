// Handshake tokens: text a person can read ("key: value" lines after a magic
// line) closed by a checksum line, so a failing test shows what was
// exchanged, and a peer rejects tampered, truncated or misplaced tokens as a
// real package does.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "package_state.h"

namespace winsim::detail {

namespace message {
constexpr char kNegotiate[] = "NEGOTIATE";
constexpr char kChallenge[] = "CHALLENGE";
constexpr char kAuthenticate[] = "AUTHENTICATE";
constexpr char kApRequest[] = "AP-REQ";
constexpr char kApReply[] = "AP-REP";
}  // namespace message

// Flags and nonces are fixed-width lower-case hexadecimal.
constexpr size_t kFlagDigits = 8;
constexpr size_t kNonceDigits = 16;
std::string hex(uint64_t value, int digits);

class Token {
 public:
  void add(const std::string &key, const std::string &value) { fields_.emplace_back(key, value); }

  std::vector<BYTE> seal() const;

  // A token whose checksum holds; none when it is truncated or altered.
  static std::optional<Token> open(const BYTE *data, size_t size);

  // The value of a field that occurs exactly once.
  std::optional<std::string> single(const std::string &key) const;
  std::optional<uint64_t> number(const std::string &key, size_t digits) const;
  std::optional<std::u16string> text(const std::string &key) const;

 private:
  static std::optional<Token> parseFields(const std::string &lines);

  std::vector<std::pair<std::string, std::string>> fields_;
};

// A token of this context's package and mechanism, of the given message kind.
Token startToken(const Context &context, const char *kind);

// The mechanism a received token claims, when it fits the receiver's package.
std::optional<Package> mechanismOf(const Token &token, Package receiverPackage);

// The package a client's first token speaks, when the server's package takes
// it: its own, or under Negotiate a raw NTLM or Kerberos token, which
// Windows' Negotiate accepts from clients of those packages.
std::optional<Package> spokenPackage(const Token &token, Package serverPackage);

// Whether the token is this message of the context's package and mechanism.
bool isMessage(const Token &token, const Context &context, const char *kind);

}  // namespace winsim::detail
