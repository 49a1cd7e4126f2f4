/* msgbox.exe <count> <flags-hex> [anything...]
 *
 * Shows <count> message boxes one after the other, with MessageBoxA flags
 * <flags-hex>, captions "Box 1", "Box 2", ... and as text the box's number, a
 * colon and the program's whole command line. The test bed's own tests use it
 * to prove that the watcher records boxes in order and whole, and that a
 * program receives exactly the command line it was started with.
 *
 * Exit code: the number of boxes whose MessageBoxA returned IDOK; 2 for bad
 * arguments. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  const char* commandLine = GetCommandLineA();
  char* end;
  long count, i, pressedOk = 0;
  unsigned long flags;
  char* text;
  if (argc < 3) {
    fputs("usage: msgbox.exe <count> <flags-hex> [anything...]\n", stderr);
    return 2;
  }
  count = strtol(argv[1], &end, 10);
  if (*end != '\0' || count < 0 || count > 100) return 2;
  flags = strtoul(argv[2], &end, 16);
  if (*end != '\0') return 2;
  text = (char*)malloc(strlen(commandLine) + 16);
  if (text == NULL) return 2;
  for (i = 1; i <= count; ++i) {
    char caption[32];
    sprintf(caption, "Box %ld", i);
    sprintf(text, "%ld:%s", i, commandLine);
    if (MessageBoxA(NULL, text, caption, (UINT)flags) == IDOK) ++pressedOk;
  }
  free(text);
  return (int)pressedOk;
}
