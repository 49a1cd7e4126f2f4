/* watcher.exe <output-file>
 *
 * Records every message box that appears in this Wine session, in order, and
 * presses its OK button, so that a program under test that talks only through
 * message boxes runs to its end unattended. Without a display driver a message
 * box would return at once and its text would be lost; with Wine's null
 * graphics driver it blocks as on Windows, and this program is the user.
 *
 * The output file is created empty at start (the caller waits for it before
 * starting the program under test). Each box appends one record and the file is
 * closed again before the box is answered, so that the record is complete on
 * disk by the time the program under test can go on or end:
 *
 *   box <TAB> caption <TAB> text <TAB> visible button ids, comma-separated
 *
 * caption and text escaped as described in record.h. Runs until killed. */
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "record.h"

/* A message box's text is the static control with this id. */
#define MESSAGE_BOX_TEXT_ID 0xFFFF
#define POLL_MILLISECONDS 10
#define CLOSE_WAIT_MILLISECONDS 5000
#define MAX_HANDLED 4096

static const char* outputPath;
static HWND handled[MAX_HANDLED];
static int handledCount;

static int WasHandled(HWND window) {
  int i;
  for (i = 0; i < handledCount; ++i) {
    if (handled[i] == window) return 1;
  }
  return 0;
}

static void RememberHandled(HWND window) {
  /* Wine hands out a new handle value for every window, so a full list means a
   * runaway program; forgetting the oldest is then harmless. */
  if (handledCount == MAX_HANDLED) {
    memmove(handled, handled + 1, sizeof(handled[0]) * (MAX_HANDLED - 1));
    --handledCount;
  }
  handled[handledCount++] = window;
}

/* Reads a box's caption (item 0) or one of its items' text, of any length: a
 * fixed buffer would cut long messages and the tests compare them whole. The
 * item's text is asked for with a message (GetDlgItemTextA), which reaches the
 * control in the other process. */
static char* ReadText(HWND box, int item) {
  int capacity = 256;
  for (;;) {
    char* text = (char*)malloc((size_t)capacity);
    int length;
    if (text == NULL) return NULL;
    length = item == 0 ? GetWindowTextA(box, text, capacity)
                       : (int)GetDlgItemTextA(box, item, text, capacity);
    if (length < capacity - 1) {
      text[length] = '\0';
      return text;
    }
    free(text);
    capacity *= 2;
  }
}

static HWND FindMessageBox(void) {
  HWND window = NULL;
  while ((window = FindWindowExA(NULL, window, "#32770", NULL)) != NULL) {
    /* A box is filled in while still hidden; only a visible one is complete. */
    if (IsWindowVisible(window) && !WasHandled(window)) return window;
  }
  return NULL;
}

static int RecordBox(HWND box) {
  char* caption = ReadText(box, 0);
  char* text = ReadText(box, MESSAGE_BOX_TEXT_ID);
  FILE* out = fopen(outputPath, "ab");
  int id, first = 1;
  if (caption == NULL || text == NULL || out == NULL) {
    free(caption);
    free(text);
    if (out != NULL) fclose(out);
    return 0;
  }
  fputs("box\t", out);
  WriteEscaped(out, caption, strlen(caption));
  fputc('\t', out);
  WriteEscaped(out, text, strlen(text));
  fputc('\t', out);
  /* Button ids IDOK (1) to IDCONTINUE (11); the box template holds them all
   * and shows only the ones its flags ask for. */
  for (id = IDOK; id <= 11; ++id) {
    HWND button = GetDlgItem(box, id);
    if (button != NULL && IsWindowVisible(button)) {
      fprintf(out, first ? "%d" : ",%d", id);
      first = 0;
    }
  }
  fputc('\n', out);
  free(caption);
  free(text);
  return fclose(out) == 0;
}

static void PressOk(HWND box) {
  DWORD waited = 0;
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  /* Wait for the box to go, so that the next poll cannot see it again. */
  while (IsWindow(box) && IsWindowVisible(box) && waited < CLOSE_WAIT_MILLISECONDS) {
    Sleep(POLL_MILLISECONDS);
    waited += POLL_MILLISECONDS;
  }
}

int main(int argc, char** argv) {
  FILE* out;
  if (argc != 2) {
    fputs("usage: watcher.exe <output-file>\n", stderr);
    return 2;
  }
  outputPath = argv[1];
  out = fopen(outputPath, "wb");
  if (out == NULL || fclose(out) != 0) {
    fputs("watcher: cannot create the output file\n", stderr);
    return 2;
  }
  for (;;) {
    HWND box = FindMessageBox();
    if (box == NULL) {
      Sleep(POLL_MILLISECONDS);
      continue;
    }
    RememberHandled(box);
    if (!RecordBox(box)) {
      fputs("watcher: cannot record a message box\n", stderr);
      return 3;
    }
    PressOk(box);
  }
}
