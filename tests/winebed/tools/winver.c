/* winver.exe: prints, on one line, what a program without a compatibility
 * manifest learns about the Windows it runs on, the way the installer asks:
 *
 *   platform=2 major=5 minor=1 build=2600 psapi=1 newdev=0 toolhelp=1
 *
 * platform, major, minor and build come from GetVersionExA with the ANSI
 * record; psapi and newdev say whether LoadLibraryA of PSAPI.DLL and
 * NewDev.dll succeeds (0 also prints the error code, e.g. newdev=0:126);
 * toolhelp says whether kernel32 exports the three Toolhelp functions. The
 * version matrix runs it in each machine with the same library overrides as
 * the installer, so that a row shows the version and libraries the installer
 * met, not the ones the machine was meant to have. */
#include <windows.h>

#include <stdio.h>

static void PrintLibrary(const char* label, const char* library) {
  HMODULE module;
  UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  SetLastError(0);
  module = LoadLibraryA(library);
  if (module != NULL) {
    printf(" %s=1", label);
    FreeLibrary(module);
  } else {
    printf(" %s=0:%lu", label, GetLastError());
  }
  SetErrorMode(oldMode);
}

int main(void) {
  OSVERSIONINFOA info;
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  int toolhelp = kernel != NULL && GetProcAddress(kernel, "CreateToolhelp32Snapshot") != NULL &&
                 GetProcAddress(kernel, "Process32First") != NULL &&
                 GetProcAddress(kernel, "Process32Next") != NULL;
  ZeroMemory(&info, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(info);
  if (!GetVersionExA(&info)) {
    fprintf(stderr, "winver: GetVersionExA failed (error %lu)\n", GetLastError());
    return 3;
  }
  printf("platform=%lu major=%lu minor=%lu build=%lu", info.dwPlatformId, info.dwMajorVersion,
         info.dwMinorVersion, info.dwBuildNumber & 0xFFFF);
  PrintLibrary("psapi", "PSAPI.DLL");
  PrintLibrary("newdev", "NewDev.dll");
  printf(" toolhelp=%d\n", toolhelp);
  return fflush(stdout) == 0 ? 0 : 3;
}
