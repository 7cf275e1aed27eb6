// The modules: their files looked for and loaded, and each export called
// with its status told in plain words.
#ifndef VORLIN_HOST_MODULES_H
#define VORLIN_HOST_MODULES_H

#include <cstdint>
#include <string>

#include "vorlin/vorlin.h"

struct ModuleLookup {
  void* fn;             // the export; null when it could not be had
  int status;           // kExitOk, kExitNoModule or kExitHost
  std::string where;    // the file loaded, or the directories searched
  std::string problem;  // why a file that is there could not be used
};

// The first module file in the search directories, loaded, with its export.
// On Linux the versioned name comes first, as a host application opens it.
ModuleLookup find_module(const char* module, const char* symbol);
// Says why a module cannot be used; its exit status.
int module_problem(const char* module, const ModuleLookup& lookup);

// Each export called; the host's exit status for what it returned.
int run_resize(VorlinResizeFn fn, const std::wstring& in, const std::wstring& out, int32_t w,
               int32_t h);
int run_erode(VorlinErodeFn fn, const std::wstring& in, const std::wstring& out, int32_t passes);
int run_probe(VorlinProbeFn fn, const std::wstring& in, int32_t query);

#endif  // VORLIN_HOST_MODULES_H
