#include "platform/dynlib.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>

namespace platform {

void* openLibrary(const std::string& path, std::string& error) {
  void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = ::dlerror();
    error = reason != nullptr ? reason : "unknown loader failure";
  }
  return library;
}

void* librarySymbol(void* library, const char* name) {
  return ::dlsym(library, name);
}

void closeLibrary(void* library) {
  if (library != nullptr) ::dlclose(library);
}

std::string libraryFilePath(void* library) {
  link_map* map = nullptr;
  if (library == nullptr || ::dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
      map->l_name == nullptr)
    return {};
  char resolved[PATH_MAX];
  if (::realpath(map->l_name, resolved) == nullptr) return map->l_name;
  return resolved;
}

}  // namespace platform
