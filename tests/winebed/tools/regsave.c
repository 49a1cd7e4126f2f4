/* regsave.exe <root[\key]> <output-file> [<root[\key]> <output-file>]...
 *
 * Roots as in registry_root.h. Saves whole registry trees from inside the
 * Wine session with RegSaveKeyA, in Wine's own text format. A machine snapshot
 * needs every key and value of several large trees; walking them value by
 * value takes Wine seconds per snapshot, while the server writes a tree in
 * milliseconds. The server saves what it holds in memory, so the snapshot sees
 * the session's state (the hive files on disk are written only when the
 * session ends), and it saves keys that a program could not open because of
 * their access list. Volatile keys are not saved; nothing the tests look at is
 * volatile.
 *
 * An existing output file is replaced. Exit code 0 when every tree was saved,
 * 2 for bad arguments, 3 when a tree could not be opened or saved. */
#include <windows.h>

#include <stdio.h>

#include "registry_root.h"

/* Saving a key needs the backup privilege, which the session's administrator
 * holds but has not enabled. */
static int EnableBackupPrivilege(void) {
  HANDLE token;
  TOKEN_PRIVILEGES privileges;
  BOOL adjusted;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return 0;
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  /* AdjustTokenPrivileges reports a privilege not held only through the
   * last-error code, and Wine leaves that code alone on full success. */
  SetLastError(ERROR_SUCCESS);
  adjusted = LookupPrivilegeValueA(NULL, "SeBackupPrivilege", &privileges.Privileges[0].Luid) &&
             AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL) &&
             GetLastError() != ERROR_NOT_ALL_ASSIGNED;
  CloseHandle(token);
  return adjusted;
}

int main(int argc, char** argv) {
  int i;
  if (argc < 3 || argc % 2 == 0) {
    fputs("usage: regsave.exe <root[\\key]> <output-file> [<root[\\key]> <output-file>]...\n", stderr);
    return 2;
  }
  if (!EnableBackupPrivilege()) {
    fprintf(stderr, "regsave: cannot enable the backup privilege (error %lu)\n", GetLastError());
    return 3;
  }
  for (i = 1; i < argc; i += 2) {
    const char* subkeyPath;
    const HKEY root = ParseRegistryPath(argv[i], &subkeyPath);
    HKEY key;
    LONG result;
    if (root == NULL) {
      fprintf(stderr, "regsave: unknown root in %s\n", argv[i]);
      return 2;
    }
    result = RegOpenKeyExA(root, subkeyPath, 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS) {
      fprintf(stderr, "regsave: cannot open %s (error %ld)\n", argv[i], result);
      return 3;
    }
    /* RegSaveKeyA refuses to replace a file. */
    if (!DeleteFileA(argv[i + 1]) && GetLastError() != ERROR_FILE_NOT_FOUND) {
      fprintf(stderr, "regsave: cannot replace %s (error %lu)\n", argv[i + 1], GetLastError());
      RegCloseKey(key);
      return 3;
    }
    result = RegSaveKeyA(key, argv[i + 1], NULL);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
      fprintf(stderr, "regsave: cannot save %s (error %ld)\n", argv[i], result);
      return 3;
    }
  }
  return 0;
}
