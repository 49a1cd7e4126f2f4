/* locker.exe <file> <ready-marker>
 *
 * Holds a file open the way a running program holds a file in use: shared for
 * reading only, so that every attempt to write, replace or delete it fails with
 * a sharing violation (error 32). Running as root under Wine ignores read-only
 * attributes, so this is how the tests make a copy fail.
 *
 * The ready marker is created once the file is held; the caller waits for it.
 * Runs until killed. Exit code 2 when the file cannot be opened (the marker is
 * then not created), 3 when the marker cannot be created. */
#include <windows.h>

#include <stdio.h>

int main(int argc, char** argv) {
  HANDLE file, marker;
  if (argc != 3) {
    fputs("usage: locker.exe <file> <ready-marker>\n", stderr);
    return 2;
  }
  file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "locker: cannot open %s (error %lu)\n", argv[1], GetLastError());
    return 2;
  }
  marker = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (marker == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "locker: cannot create %s (error %lu)\n", argv[2], GetLastError());
    return 3;
  }
  CloseHandle(marker);
  for (;;) Sleep(INFINITE);
}
