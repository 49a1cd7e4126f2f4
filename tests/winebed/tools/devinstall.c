/* devinstall.exe <inf-path> <hardware-id>
 *
 * Installs a root-enumerated device from an INF with Wine's SetupAPI, the way
 * a driver package's own tooling does: create a device node of the INF's
 * class, give it the hardware id, register it, then let NewDev install the
 * best driver for that id. The tests use it to prove that the sample payload's
 * INF is one that SetupAPI can install, independently of the installer.
 *
 * Exit code 0 when every step succeeded; otherwise the number of the failed
 * step (10 and up), with the step and its error code on standard error; 3 when
 * SetupAPI or NewDev lacks a function. */
#include <windows.h>
#include <setupapi.h>

#include <stdio.h>
#include <string.h>

/* SetupAPI and NewDev are looked up at run time: the test-bed tools link only
 * the core system libraries. */
typedef BOOL(WINAPI* GetInfClassFunction)(const char*, GUID*, char*, DWORD, DWORD*);
typedef HDEVINFO(WINAPI* CreateListFunction)(const GUID*, HWND);
typedef BOOL(WINAPI* CreateInfoFunction)(HDEVINFO, const char*, const GUID*, const char*, HWND, DWORD,
                                         SP_DEVINFO_DATA*);
typedef BOOL(WINAPI* SetPropertyFunction)(HDEVINFO, SP_DEVINFO_DATA*, DWORD, const BYTE*, DWORD);
typedef BOOL(WINAPI* CallInstallerFunction)(DI_FUNCTION, HDEVINFO, SP_DEVINFO_DATA*);
typedef BOOL(WINAPI* UpdateDriverFunction)(HWND, const char*, const char*, DWORD, BOOL*);

static FARPROC Lookup(const char* library, const char* name) {
  HMODULE module = LoadLibraryA(library);
  FARPROC function = module != NULL ? GetProcAddress(module, name) : NULL;
  if (function == NULL) fprintf(stderr, "devinstall: %s!%s is missing\n", library, name);
  return function;
}

static int Fail(int step, const char* what) {
  fprintf(stderr, "devinstall: %s failed (error %lu)\n", what, GetLastError());
  return step;
}

int main(int argc, char** argv) {
  GUID classGuid;
  char className[64]; /* a class name has at most 32 characters */
  char hardwareIds[512];
  size_t idLength;
  HDEVINFO devices;
  SP_DEVINFO_DATA device;
  BOOL rebootRequired = FALSE;
  const GetInfClassFunction getInfClass =
      (GetInfClassFunction)(void (*)(void))Lookup("setupapi.dll", "SetupDiGetINFClassA");
  const CreateListFunction createList =
      (CreateListFunction)(void (*)(void))Lookup("setupapi.dll", "SetupDiCreateDeviceInfoList");
  const CreateInfoFunction createInfo =
      (CreateInfoFunction)(void (*)(void))Lookup("setupapi.dll", "SetupDiCreateDeviceInfoA");
  const SetPropertyFunction setProperty =
      (SetPropertyFunction)(void (*)(void))Lookup("setupapi.dll", "SetupDiSetDeviceRegistryPropertyA");
  const CallInstallerFunction callInstaller =
      (CallInstallerFunction)(void (*)(void))Lookup("setupapi.dll", "SetupDiCallClassInstaller");
  const UpdateDriverFunction updateDriver =
      (UpdateDriverFunction)(void (*)(void))Lookup("newdev.dll", "UpdateDriverForPlugAndPlayDevicesA");

  if (argc != 3) {
    fputs("usage: devinstall.exe <inf-path> <hardware-id>\n", stderr);
    return 2;
  }
  if (!getInfClass || !createList || !createInfo || !setProperty || !callInstaller || !updateDriver) return 3;
  /* The id list is a multi-string: the id, its zero byte, the list's zero. */
  idLength = strlen(argv[2]);
  if (idLength + 2 > sizeof(hardwareIds)) {
    fputs("devinstall: hardware id too long\n", stderr);
    return 2;
  }
  memcpy(hardwareIds, argv[2], idLength + 1);
  hardwareIds[idLength + 1] = '\0';

  if (!getInfClass(argv[1], &classGuid, className, sizeof(className), NULL)) {
    return Fail(10, "SetupDiGetINFClassA");
  }
  devices = createList(&classGuid, NULL);
  if (devices == INVALID_HANDLE_VALUE) return Fail(11, "SetupDiCreateDeviceInfoList");
  device.cbSize = sizeof(device);
  if (!createInfo(devices, className, &classGuid, NULL, NULL, DICD_GENERATE_ID, &device)) {
    return Fail(12, "SetupDiCreateDeviceInfoA");
  }
  if (!setProperty(devices, &device, SPDRP_HARDWAREID, (const BYTE*)hardwareIds, (DWORD)(idLength + 2))) {
    return Fail(13, "SetupDiSetDeviceRegistryPropertyA");
  }
  if (!callInstaller(DIF_REGISTERDEVICE, devices, &device)) {
    return Fail(14, "SetupDiCallClassInstaller");
  }
  if (!updateDriver(NULL, argv[2], argv[1], 0, &rebootRequired)) {
    return Fail(15, "UpdateDriverForPlugAndPlayDevicesA");
  }
  /* The device information set is left to the process's end: the tool exits
   * right away. */
  return 0;
}
