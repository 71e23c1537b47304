#include "populations.h"

#include <map>
#include <utility>

namespace ntseclink_bench {

namespace {

using PopulationKey = std::pair<const jnihost::Natives *, const Family *>;

std::map<PopulationKey, std::vector<jint>> &livePopulations() {
  static std::map<PopulationKey, std::vector<jint>> populations;
  return populations;
}

}  // namespace

const Family kSspiFamily{
    "sspi",
    u"NTLM",
    u"",
    [](const jnihost::Natives &api, JNIEnv *env, jstring package) {
      return api.SSPI_CreateContext(env, nullptr, JNI_FALSE, 0, package, nullptr);
    },
    [](const jnihost::Natives &api, JNIEnv *env, jint handle) { api.SSPI_FreeHandle(env, nullptr, handle); },
    [](const jnihost::Natives &api, JNIEnv *env, jint handle, jstring) {
      api.SSPI_GetChallengeToken(env, nullptr, handle);
    },
};

const Family kUserAuthFamily{
    "userauth",
    u"CORVANE\\alice",
    u"CORVANE\\Engineering",
    [](const jnihost::Natives &api, JNIEnv *env, jstring user) {
      return api.UserAuth_CreateUserContext(env, nullptr, user);
    },
    [](const jnihost::Natives &api, JNIEnv *env, jint handle) {
      api.UserAuth_FreeHandle(env, nullptr, handle);
    },
    [](const jnihost::Natives &api, JNIEnv *env, jint handle, jstring group) {
      api.UserAuth_IsGroupMember(env, nullptr, handle, group);
    },
};

const std::vector<const Family *> &families() {
  static const std::vector<const Family *> all{&kSspiFamily, &kUserAuthFamily};
  return all;
}

void createContexts(const jnihost::Natives &api, const Family &family, size_t count,
                    std::vector<jint> &handles) {
  Host host;
  jstring argument = host.string(family.createArgument);
  for (size_t i = 0; i < count; ++i) {
    handles.push_back(family.create(api, host.env(), argument));
    host.check();
    if (host.count()) {
      argument = host.string(family.createArgument);
    }
  }
}

void freeContexts(const jnihost::Natives &api, const Family &family, const std::vector<jint> &handles) {
  Host host;
  for (jint handle : handles) {
    family.free(api, host.env(), handle);
    host.count();
  }
}

const std::vector<jint> &population(const jnihost::Natives &api, const Family &family, size_t count) {
  std::vector<jint> &live = livePopulations()[{&api, &family}];
  if (live.size() > count) {
    freeContexts(api, family,
                 std::vector<jint>(live.begin() + static_cast<std::ptrdiff_t>(count), live.end()));
    live.resize(count);
  } else if (live.size() < count) {
    createContexts(api, family, count - live.size(), live);
  }
  return live;
}

void releasePopulations() {
  for (auto &[key, handles] : livePopulations()) {
    freeContexts(*key.first, *key.second, handles);
    handles.clear();
  }
}

}  // namespace ntseclink_bench
