// A library that some supported Windows lacks, loaded from the system folder
// for one operation, with the functions that operation needs looked up in it.
// Released with the object, on every way out.
#pragma once

#include <array>
#include <cstddef>

#include "platform/platform_ops.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/system_folders.h"

namespace korvanta {

template <size_t Count>
struct RunTimeFunctions {
  ScopedModule library;
  std::array<FARPROC, Count> address{};  // null where the library or the export is missing

  bool AllFound() const {
    for (FARPROC found : address) {
      if (found == nullptr) return false;
    }
    return true;
  }
};

// Loads the library by its full path in the system folder and, when it
// loaded, looks up every name in order (all of them, also after a missing
// one).
template <size_t Count>
RunTimeFunctions<Count> LoadRunTimeFunctions(PlatformOps& ops, const char* library,
                                             const std::array<const char*, Count>& names) {
  RunTimeFunctions<Count> functions{ScopedModule(ops, LoadSystemLibrary(ops, library))};
  if (functions.library) {
    for (size_t i = 0; i < Count; ++i) {
      functions.address[i] = ops.GetProcAddress(functions.library.Get(), names[i]);
    }
  }
  return functions;
}

}  // namespace korvanta
