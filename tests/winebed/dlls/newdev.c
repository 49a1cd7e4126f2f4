/* newdev.dll: a stand-in for NewDev.dll whose driver update always fails.
 *
 * Wine's own UpdateDriverForPlugAndPlayDevicesA reports success even for an
 * INF it cannot install, so a failed update cannot be provoked there. A test
 * puts this library beside the program under test and runs it with
 * WINEDLLOVERRIDES=newdev=n,b; the program then loads this one instead. */
#include <windows.h>

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND parent, const char* hardwareId, const char* infPath,
                                               DWORD flags, BOOL* rebootRequired) {
  (void)parent;
  (void)hardwareId;
  (void)infPath;
  (void)flags;
  if (rebootRequired != NULL) *rebootRequired = FALSE;
  /* What Windows reports when no driver in the INF matches the device. */
  SetLastError(0xE0000228); /* ERROR_NO_COMPAT_DRIVERS */
  return FALSE;
}
