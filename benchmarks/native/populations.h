// The two families of contexts Java names by handle, and live populations of
// them, made once and kept, since making 100,000 takes a while.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host_session.h"

namespace ntseclink_bench {

struct Family {
  const char *name;
  // The texts passed to create and to lookUp; empty for Java null.
  std::u16string createArgument;
  std::u16string lookUpArgument;
  jint (*create)(const jnihost::Natives &api, JNIEnv *env, jstring argument);
  void (*free)(const jnihost::Natives &api, JNIEnv *env, jint handle);
  // A native that finds the context and does next to nothing else.
  void (*lookUp)(const jnihost::Natives &api, JNIEnv *env, jint handle, jstring argument);
};

// Server contexts before their first token, and user contexts.
extern const Family kSspiFamily;
extern const Family kUserAuthFamily;
const std::vector<const Family *> &families();

// Makes `count` contexts of the family and appends their handles; throws
// when a native fails.
void createContexts(const jnihost::Natives &api, const Family &family, size_t count,
                    std::vector<jint> &handles);
void freeContexts(const jnihost::Natives &api, const Family &family, const std::vector<jint> &handles);

// The handles of exactly `count` live contexts of the family in the given
// copy of the library, in creation order.
const std::vector<jint> &population(const jnihost::Natives &api, const Family &family, size_t count);
// Frees every population, before the libraries go.
void releasePopulations();

}  // namespace ntseclink_bench
