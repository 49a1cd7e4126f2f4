/* sleeper.exe [ready-marker]: stays alive until killed, doing nothing. Copied
 * under another name (for example TAV.EXE) it stands for a running program in
 * the process list. With a ready marker it creates that file once it runs, so
 * that the caller knows when the process list shows it. */
#include <windows.h>

int main(int argc, char** argv) {
  if (argc > 1) {
    HANDLE marker =
        CreateFileA(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (marker == INVALID_HANDLE_VALUE) return 3;
    CloseHandle(marker);
  }
  for (;;) Sleep(INFINITE);
}
