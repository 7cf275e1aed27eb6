// The module's start-up routine, called by the run-time library's DLL entry
// point on process attach and detach. The modules keep no state between
// calls, so there is nothing to set up or tear down: loading always succeeds.
// POSIX shared libraries need no such routine.
#if defined(_WIN32)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) {
  return TRUE;
}
#endif
