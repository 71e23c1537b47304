#include "host_session.h"

#include <winsim/control.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <stdexcept>

#include "native_side.h"

namespace ntseclink_bench {

namespace {

struct LoadedLibrary {
  explicit LoadedLibrary(const std::filesystem::path &path) : library(path), natives(library) {}
  jnihost::NativeLibrary library;
  jnihost::Natives natives;
};

// A load of its own needs a file of its own: the loader hands out the
// library already loaded from the same path.
std::unique_ptr<LoadedLibrary> loadCopy(int copy) {
  std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("ntseclink-bench-" + std::to_string(getpid()) + "-" + std::to_string(copy) + ".so");
  std::filesystem::copy_file(NTSECLINK_LIBRARY_PATH, path, std::filesystem::copy_options::overwrite_existing);
  auto loaded = std::make_unique<LoadedLibrary>(path);
  std::filesystem::remove(path);
  return loaded;
}

}  // namespace

const jnihost::Natives &natives() {
  static LoadedLibrary loaded(NTSECLINK_LIBRARY_PATH);
  return loaded.natives;
}

const jnihost::Natives &libraryCopy(int copy) {
  static std::map<int, std::unique_ptr<LoadedLibrary>> copies;
  std::unique_ptr<LoadedLibrary> &loaded = copies[copy];
  if (!loaded) {
    loaded = loadCopy(copy);
  }
  return loaded->natives;
}

Host::Host(int renewEvery) : jvm_(std::make_unique<jnihost::Jvm>()), renewEvery_(renewEvery) {}

jstring Host::string(const std::u16string &text) {
  return text.empty() ? nullptr : jvm_->newString(text);
}

bool Host::count() {
  if (++calls_ < renewEvery_) {
    return false;
  }
  renew();
  return true;
}

void Host::check() const {
  if (auto pending = jvm_->pendingException()) {
    throw std::runtime_error("native threw " + pending->className + ": " + pending->message);
  }
}

void Host::renew() {
  check();
  calls_ = 0;
  jvm_ = std::make_unique<jnihost::Jvm>();
  winsim::clearJournal();
}

std::u16string targetFor(const std::u16string &package) {
  return package == u"Kerberos" ? kKerberosTarget : u"";
}

Peers establish(Host &host, const std::u16string &package, jint clientFlags, const std::u16string &target) {
  const jnihost::Natives &api = natives();
  JNIEnv *env = host.env();
  Peers peers{
      api.SSPI_CreateContext(env, nullptr, JNI_TRUE, clientFlags, host.string(package), host.string(target)),
      api.SSPI_CreateContext(env, nullptr, JNI_FALSE, 0, host.string(package), nullptr)};
  host.check();
  handshake::NativeSide client(api, host.jvm(), peers.client, true);
  handshake::NativeSide server(api, host.jvm(), peers.server, false);
  handshake::exchange(client, server);
  host.check();
  return peers;
}

void release(Host &host, const Peers &peers) {
  natives().SSPI_FreeHandle(host.env(), nullptr, peers.client);
  natives().SSPI_FreeHandle(host.env(), nullptr, peers.server);
}

void handshakesThroughNatives(const std::u16string &package, int count) {
  Host host(count + 1);
  const std::u16string target = targetFor(package);
  for (int i = 0; i < count; ++i) {
    release(host, establish(host, package, kClientFlags, target));
  }
  host.check();
}

}  // namespace ntseclink_bench
