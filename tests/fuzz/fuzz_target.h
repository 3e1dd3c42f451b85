#pragma once

// One fuzz target per .cpp: `VELMORA_FUZZ_TARGET(name) { ...body using data, size... }`.
// Built with libFuzzer each file becomes its own program; built for the replay test
// the same bodies register themselves by name so corpus and crash files run through
// exactly the code the fuzzer ran.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace velmora::fuzz {

using Entry = void (*)(const uint8_t* data, size_t size);

struct Target {
  const char* name;
  Entry entry;
};

std::vector<Target>& Targets();

struct Registrar {
  Registrar(const char* name, Entry entry) { Targets().push_back({name, entry}); }
};

// A property every input must keep; breaking it is a finding like a crash.
[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz check failed: %s at %s:%d\n", what, file, line);
  std::abort();
}

// A scratch data folder for targets that write scan logs (made once per process).
void UseScratchDataDir();

}  // namespace velmora::fuzz

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::velmora::fuzz::Fail(#cond, __FILE__, __LINE__))

#ifdef VELMORA_LIBFUZZER
#define VELMORA_FUZZ_HOOK(name)                                             \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    FuzzOne_##name(data, size);                                             \
    return 0;                                                               \
  }
#else
#define VELMORA_FUZZ_HOOK(name) \
  static const ::velmora::fuzz::Registrar registrar_##name(#name, &FuzzOne_##name);
#endif

#define VELMORA_FUZZ_TARGET(name)                               \
  static void FuzzOne_##name(const uint8_t* data, size_t size); \
  VELMORA_FUZZ_HOOK(name)                                       \
  static void FuzzOne_##name(const uint8_t* data, size_t size)
