#include "jdk_peer.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace wintests {

namespace {

constexpr const char *kRequestPrefix = "@jdk ";
constexpr char kDigits[] = "0123456789abcdef";

std::string hex(const std::vector<uint8_t> &bytes) {
  if (bytes.empty()) {
    return "-";
  }
  std::string text;
  for (const uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xf];
  }
  return text;
}

int digitValue(char digit) {
  if (digit >= '0' && digit <= '9') {
    return digit - '0';
  }
  if (digit >= 'a' && digit <= 'f') {
    return digit - 'a' + 10;
  }
  throw std::runtime_error(std::string("the JDK peer sent a token with the character ") + digit);
}

std::vector<uint8_t> bytesOf(const std::string &text) {
  std::vector<uint8_t> bytes;
  if (text == "-") {
    return bytes;
  }
  if (text.size() % 2 != 0) {
    throw std::runtime_error("the JDK peer sent a token of odd length");
  }
  for (std::size_t i = 0; i < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(digitValue(text[i]) * 16 + digitValue(text[i + 1])));
  }
  return bytes;
}

// One answer line: its first word and the rest.
struct Answer {
  std::string kind;
  std::string rest;
};

std::string readLine() {
  std::string line;
  for (int c = std::getchar(); c != '\n'; c = std::getchar()) {
    if (c == EOF) {
      throw std::runtime_error("the JDK peer has gone: the program must be run by JdkPeer.java");
    }
    if (c != '\r') {
      line += static_cast<char>(c);
    }
  }
  return line;
}

Answer ask(const std::string &request) {
  std::printf("%s%s\n", kRequestPrefix, request.c_str());
  std::fflush(stdout);
  const std::string line = readLine();
  const std::size_t space = line.find(' ');
  Answer answer{line.substr(0, space), space == std::string::npos ? std::string() : line.substr(space + 1)};
  if (answer.kind == "error") {
    throw std::runtime_error("the JDK peer could not serve \"" + request.substr(0, request.find(' ')) +
                             "\": " + answer.rest);
  }
  return answer;
}

// An answer that must be of this kind; its token.
std::vector<uint8_t> tokenOf(const Answer &answer, const char *kind) {
  if (answer.kind != kind) {
    throw std::runtime_error("the JDK peer answered \"" + answer.kind + " " + answer.rest + "\", expected " +
                             kind);
  }
  return bytesOf(answer.rest);
}

const char *mechanismName(JdkMechanism mechanism) {
  return mechanism == JdkMechanism::Spnego ? "spnego" : "kerberos";
}

}  // namespace

std::string userPrincipal() {
  return environmentVariable("WINTESTS_USER_PRINCIPAL");
}

JdkSide::JdkSide(Case &test, JdkMechanism mechanism, const std::string &principal) : test_(test) {
  token_ = tokenOf(ask(std::string("initiate ") + mechanismName(mechanism) + " " + principal), "token");
}

JdkSide::JdkSide(Case &test) : test_(test) {
  tokenOf(ask("accept"), "ready");
}

JdkSide::~JdkSide() {
  try {
    tokenOf(ask("dispose"), "disposed");
  } catch (const std::exception &error) {
    test_.expect(false, std::string("the JDK's context was not disposed of: ") + error.what());
  }
}

bool JdkSide::take(const std::vector<uint8_t> &token) {
  const Answer answer = ask("step " + hex(token));
  if (answer.kind == "refused") {
    failed_ = true;
    test_.expect(false, "the JDK refused the token: " + answer.rest);
    return false;
  }
  const bool established = answer.kind == "established";
  token_ = tokenOf(answer, established ? "established" : "continue");
  return established;
}

JdkContext JdkSide::describe() {
  const Answer answer = ask("describe");
  std::istringstream words(answer.rest);
  JdkContext context;
  std::string mutual;
  std::string confidentiality;
  std::string integrity;
  words >> context.source >> context.target >> mutual >> confidentiality >> integrity;
  if (answer.kind != "context" || !words) {
    throw std::runtime_error("the JDK peer answered \"" + answer.kind + " " + answer.rest + "\" to describe");
  }
  context.mutualAuthentication = mutual == "true";
  context.confidentiality = confidentiality == "true";
  context.integrity = integrity == "true";
  return context;
}

std::vector<uint8_t> JdkSide::wrap(const std::vector<uint8_t> &message) {
  return tokenOf(ask("wrap " + hex(message)), "token");
}

}  // namespace wintests
