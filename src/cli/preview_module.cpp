// `velmora preview` runs from a module beside the program: the preview's picture and document
// libraries are loaded for this command alone, so that every other command starts quickly.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "cli/commands.h"

namespace velmora::cli {

namespace {

constexpr const char* kModuleFile = "velmora-preview.so";
constexpr const char* kEntry = "velmora_run_preview";

// The folder of the running program, from the kernel rather than from argv[0] or PATH.
std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  const std::string program(path, static_cast<size_t>(length));
  const size_t slash = program.rfind('/');
  return slash == std::string::npos ? "." : program.substr(0, slash);
}

// Beside the program in the build tree; under PREFIX/lib/velmora once installed.
std::string ModulePath() {
  const std::string folder = ProgramFolder();
  const std::string beside = folder + "/" + kModuleFile;
  if (::access(beside.c_str(), F_OK) == 0) return beside;
  return folder + "/" VELMORA_PREVIEW_MODULE_DIR "/" + kModuleFile;
}

}  // namespace

int RunPreview(const Args& args) {
  const std::string path = ModulePath();
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "velmora preview: the preview module cannot be loaded: %s\n", ::dlerror());
    return kExitUsage;
  }
  using Entry = int (*)(const Args*);
  const auto entry = reinterpret_cast<Entry>(::dlsym(module, kEntry));
  if (entry == nullptr) {
    std::fprintf(stderr, "velmora preview: %s is not a preview module of this version\n",
                 path.c_str());
    return kExitUsage;
  }
  // The module stays loaded until the program ends: what it registered at exit runs then.
  return entry(&args);
}

}  // namespace velmora::cli
