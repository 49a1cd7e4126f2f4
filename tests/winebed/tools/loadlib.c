/* loadlib.exe <library>
 *
 * Loads a library the way LoadLibraryA is given it (a bare name is searched
 * for, a path is taken as it is), and frees it again. Prints the module
 * handle or the error code; exit code 0 when it loaded, 1 when it did not,
 * 2 for bad arguments. The tests use it to show that a planted library
 * leaves its trace when it is loaded, and where a search finds one. */
#include <windows.h>

#include <stdio.h>

int main(int argc, char** argv) {
  HMODULE module;
  if (argc != 2) {
    fputs("usage: loadlib.exe <library>\n", stderr);
    return 2;
  }
  module = LoadLibraryA(argv[1]);
  if (module == NULL) {
    printf("not loaded: error %lu\n", GetLastError());
    return 1;
  }
  printf("loaded at %p\n", (void*)module);
  FreeLibrary(module);
  return 0;
}
