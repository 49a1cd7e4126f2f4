/* launch.exe <exit-code-file> <application> <command-line-hex>
 *
 * Starts a program with an exact command line and waits for it. Starting it
 * with `wine program args...` lets Wine quote the arguments its own way, while
 * the tests need command lines that a quoting rule would never produce (empty
 * quoted arguments, quotes inside a token, blanks of every kind). The command
 * line arrives hex-encoded so that no layer in between can change it.
 *
 * With the environment variable WINEBED_NOT_ADMINISTRATOR set, the child's
 * token holds the Administrators group for deny only, as a user's who is no
 * administrator (Wine's own token always holds it).
 *
 * With WINEBED_WINDOW_STATION set to a name, the child runs on a window
 * station of that name, made here, with a desktop of its own, as a process
 * run as SYSTEM by a deployment tool runs on one nobody sees: Wine gives a
 * new station no WSF_VISIBLE, and a box shown there reaches no watcher.
 *
 * The child's exit code is written in decimal to the exit-code file, whole
 * (only part of a process exit code reaches Linux through Wine). Exit code
 * 0 when the child was started and waited for, 2 for bad arguments, 3 when the
 * child could not be started or its exit code not written. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int HexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;
}

/* Decodes in place; returns 0 when the text is not an even run of hex digits
 * or holds a zero byte, which no command line can contain. */
static int DecodeHex(char* text) {
  const size_t length = strlen(text);
  size_t i;
  if (length % 2 != 0) return 0;
  for (i = 0; i < length / 2; ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0 || (high == 0 && low == 0)) return 0;
    text[i] = (char)(high * 16 + low);
  }
  text[length / 2] = '\0';
  return 1;
}

/* This process's token with the Administrators group made deny-only; null
 * when it cannot be made. */
static HANDLE TokenWithoutAdministrators(void) {
  SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
  SID_AND_ATTRIBUTES disabled = {NULL, 0};
  HANDLE own = NULL, restricted = NULL;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &disabled.Sid)) {
    return NULL;
  }
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) {
    if (!CreateRestrictedToken(own, 0, 1, &disabled, 0, NULL, 0, NULL, &restricted)) restricted = NULL;
    CloseHandle(own);
  }
  FreeSid(disabled.Sid);
  return restricted;
}

/* Makes the window station and its desktop "Default"; returns the
 * STARTUPINFO desktop name ("<station>\\Default") in `desktop`, or 0 when they
 * cannot be made. Both stay open until this process ends. */
static int MakeWindowStation(const char* station, char* desktop, size_t size) {
  HWINSTA own = GetProcessWindowStation();
  HWINSTA made = CreateWindowStationA(station, 0, WINSTA_ALL_ACCESS, NULL);
  HDESK madeDesktop;
  if (made == NULL || strlen(station) + sizeof("\\Default") > size) return 0;
  /* A desktop is made on the calling process's window station. */
  if (!SetProcessWindowStation(made)) return 0;
  madeDesktop = CreateDesktopA("Default", NULL, NULL, 0, GENERIC_ALL, NULL);
  SetProcessWindowStation(own);
  if (madeDesktop == NULL) return 0;
  strcpy(desktop, station);
  strcat(desktop, "\\Default");
  return 1;
}

int main(int argc, char** argv) {
  STARTUPINFOA startup;
  char station[128], desktop[160];
  DWORD stationLength;
  PROCESS_INFORMATION process;
  DWORD exitCode;
  FILE* out;
  HANDLE token = NULL;
  BOOL started;
  if (argc != 4 || !DecodeHex(argv[3])) {
    fputs("usage: launch.exe <exit-code-file> <application> <command-line-hex>\n", stderr);
    return 2;
  }
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  /* A console program under test writes into the same log as this one. */
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  stationLength = GetEnvironmentVariableA("WINEBED_WINDOW_STATION", station, sizeof(station));
  if (stationLength > 0 && stationLength < sizeof(station)) {
    if (!MakeWindowStation(station, desktop, sizeof(desktop))) {
      fprintf(stderr, "launch: no window station %s (error %lu)\n", station, GetLastError());
      return 3;
    }
    startup.lpDesktop = desktop;
  }
  if (GetEnvironmentVariableA("WINEBED_NOT_ADMINISTRATOR", NULL, 0) > 0) {
    token = TokenWithoutAdministrators();
    if (token == NULL) {
      fprintf(stderr, "launch: no token without Administrators (error %lu)\n", GetLastError());
      return 3;
    }
  }
  started = token != NULL
                ? CreateProcessAsUserA(token, argv[2], argv[3], NULL, NULL, TRUE, 0, NULL, NULL,
                                       &startup, &process)
                : CreateProcessA(argv[2], argv[3], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process);
  if (token != NULL) CloseHandle(token);
  if (!started) {
    fprintf(stderr, "launch: cannot start %s (error %lu)\n", argv[2], GetLastError());
    return 3;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  if (!GetExitCodeProcess(process.hProcess, &exitCode)) {
    fprintf(stderr, "launch: no exit code (error %lu)\n", GetLastError());
    return 3;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  out = fopen(argv[1], "wb");
  if (out == NULL) return 3;
  fprintf(out, "%lu\n", exitCode);
  return fclose(out) == 0 ? 0 : 3;
}
