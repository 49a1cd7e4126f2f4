/* planted.dll: a library planted where a search would find it, under the
 * name of a library the installer loads (NewDev.dll, PSAPI.DLL). It exports
 * nothing the installer looks for; loading it is what must never happen.
 *
 * When a process loads it, it leaves a trace beside itself: an empty file
 * named after its own path with ".loaded" appended (C:\setup\NewDev.dll.loaded).
 * A test plants copies, runs a program and then looks for traces. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  char path[MAX_PATH + 8];
  DWORD length;
  HANDLE trace;
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  length = GetModuleFileNameA(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  lstrcpyA(path + length, ".loaded");
  trace = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (trace != INVALID_HANDLE_VALUE) CloseHandle(trace);
  return TRUE;
}
