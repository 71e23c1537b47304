// A client and a server context established by calling the platform's
// security functions directly, without the library: what the package alone
// costs, for comparison with the natives.
#pragma once

#include <sspi.h>

#include <string>
#include <vector>

namespace ntseclink_bench {

// Throws std::runtime_error naming the call when a status is not a success.
void requireSuccess(SECURITY_STATUS status, const char *function);

class Credentials {
 public:
  Credentials(const std::u16string &package, ULONG use);
  ~Credentials();
  Credentials(const Credentials &) = delete;
  Credentials &operator=(const Credentials &) = delete;
  CredHandle *get() { return &handle_; }

 private:
  CredHandle handle_{};
};

class SecurityContext {
 public:
  SecurityContext() = default;
  ~SecurityContext();
  SecurityContext(const SecurityContext &) = delete;
  SecurityContext &operator=(const SecurityContext &) = delete;
  // Null before the first step made the context.
  CtxtHandle *existing() { return started_ ? &handle_ : nullptr; }
  CtxtHandle *get() { return &handle_; }
  void started() { started_ = true; }

 private:
  CtxtHandle handle_{};
  bool started_ = false;
};

class PackagePair {
 public:
  PackagePair(const std::u16string &package, ULONG clientFlags, const std::u16string &target);

  CtxtHandle *client() { return client_.get(); }
  CtxtHandle *server() { return server_.get(); }
  SecPkgContext_Sizes sizes();

 private:
  using Token = std::vector<BYTE>;
  Token initialize(const Token &input);
  Token accept(const Token &input);

  std::u16string target_;
  ULONG clientFlags_;
  Credentials clientCredentials_;
  Credentials serverCredentials_;
  SecurityContext client_;
  SecurityContext server_;
};

}  // namespace ntseclink_bench
