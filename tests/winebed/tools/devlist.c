/* devlist.exe <output-file>
 *
 * Writes the instance id of every present device of every class, one per
 * line, as SetupAPI enumerates them: the tests use it to see that the system's
 * own root devices are still enumerated after a run.
 *
 * Exit code 0 when the list was written; 2 for bad arguments; 3 when SetupAPI
 * failed or the output could not be written, with the error on standard
 * error. */
#include <windows.h>
#include <setupapi.h>

#include <stdio.h>

/* SetupAPI is looked up at run time: the test-bed tools link only the core
 * system libraries. */
typedef HDEVINFO(WINAPI* GetClassDevsFunction)(const GUID*, const char*, HWND, DWORD);
typedef BOOL(WINAPI* EnumInfoFunction)(HDEVINFO, DWORD, SP_DEVINFO_DATA*);
typedef BOOL(WINAPI* InstanceIdFunction)(HDEVINFO, SP_DEVINFO_DATA*, char*, DWORD, DWORD*);
typedef BOOL(WINAPI* DestroyFunction)(HDEVINFO);

int main(int argc, char** argv) {
  HMODULE setupapi = LoadLibraryA("setupapi.dll");
  GetClassDevsFunction getClassDevs;
  EnumInfoFunction enumInfo;
  InstanceIdFunction instanceId;
  DestroyFunction destroy;
  HDEVINFO devices;
  SP_DEVINFO_DATA device;
  char id[512];
  DWORD index;
  FILE* out;

  if (argc != 2) {
    fputs("usage: devlist.exe <output-file>\n", stderr);
    return 2;
  }
  if (setupapi == NULL) return 3;
  getClassDevs = (GetClassDevsFunction)(void (*)(void))GetProcAddress(setupapi, "SetupDiGetClassDevsA");
  enumInfo = (EnumInfoFunction)(void (*)(void))GetProcAddress(setupapi, "SetupDiEnumDeviceInfo");
  instanceId = (InstanceIdFunction)(void (*)(void))GetProcAddress(setupapi, "SetupDiGetDeviceInstanceIdA");
  destroy = (DestroyFunction)(void (*)(void))GetProcAddress(setupapi, "SetupDiDestroyDeviceInfoList");
  if (!getClassDevs || !enumInfo || !instanceId || !destroy) return 3;

  devices = getClassDevs(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (devices == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "devlist: SetupDiGetClassDevsA failed (error %lu)\n", GetLastError());
    return 3;
  }
  out = fopen(argv[1], "wb");
  if (out == NULL) return 3;
  device.cbSize = sizeof(device);
  for (index = 0; enumInfo(devices, index, &device); ++index) {
    if (!instanceId(devices, &device, id, sizeof(id), NULL)) {
      fprintf(stderr, "devlist: no instance id for device %lu (error %lu)\n", index, GetLastError());
      return 3;
    }
    fprintf(out, "%s\n", id);
  }
  if (GetLastError() != ERROR_NO_MORE_ITEMS) {
    fprintf(stderr, "devlist: enumeration ended with error %lu\n", GetLastError());
    return 3;
  }
  destroy(devices);
  return fclose(out) == 0 ? 0 : 3;
}
