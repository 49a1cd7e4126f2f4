/* sleeper.exe: stays alive until killed, doing nothing. Copied under another
 * name (for example TAV.EXE) it stands for a running program in the process
 * list. */
#include <windows.h>

int main(void) {
  for (;;) Sleep(INFINITE);
}
