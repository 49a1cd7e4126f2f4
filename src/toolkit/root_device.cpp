#include "toolkit/root_device.h"

#include <cstring>
#include <string_view>

#include "toolkit/file_placement.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/system_folders.h"

namespace korvanta {

void NewDevLoader::Load() {
  if (loaded_) return;
  // A missing library must not raise the "cannot find file" system dialog.
  UINT previousMode = ops_.SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // Made before the run has its context, so the loader asks for the system
  // folder itself.
  library_ = LoadSystemLibrary(ops_, "NewDev.dll");
  if (library_ != nullptr) {
    loaded_ = true;
    updateEntryPoint_ = ops_.GetProcAddress(library_, "UpdateDriverForPlugAndPlayDevicesA");
  }
  ops_.SetErrorMode(previousMode);
}

void NewDevLoader::Unload() {
  if (library_ != nullptr) ops_.FreeLibrary(library_);
  library_ = nullptr;
  loaded_ = false;
  updateEntryPoint_ = nullptr;
}

}  // namespace korvanta

namespace korvanta {
namespace {

// The driver update through NewDev.dll. Without the library or its export
// (the 9x family, NT 4) it fails as a missing export would.
bool UpdateDriver(const Platform& platform, const std::string& hardwareId,
                  const std::string& infPath) {
  const FARPROC update = platform.newDev != nullptr ? platform.newDev->UpdateEntryPoint() : nullptr;
  if (update == nullptr) {
    platform.ops.SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  BOOL rebootRequired = FALSE;  // a restart is the suite's setup's business
  return platform.ops.UpdateDriverForPlugAndPlayDevicesA(update, nullptr, hardwareId.c_str(),
                                                         infPath.c_str(), INSTALLFLAG_FORCE,
                                                         &rebootRequired) != FALSE;
}

enum class Look { Match, NoMatch, Failed };

// Reads one device's hardware-id list and looks for the id in it. A device
// without the list is no match; any other failed read ends the search with
// its code in `error`.
Look LookAtDevice(PlatformOps& ops, HDEVINFO devices, SP_DEVINFO_DATA& device,
                  const std::string& hardwareId, DWORD* error) {
  ScopedLocalMemory buffer(ops);
  DWORD bufferSize = 0;
  DWORD dataSize = 0;
  while (!ops.SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_HARDWAREID, nullptr,
                                                static_cast<BYTE*>(buffer.Get()), bufferSize,
                                                &dataSize)) {
    const DWORD code = ops.GetLastError();
    if (code == ERROR_INVALID_DATA) return Look::NoMatch;
    // A size of 0 or one that cannot be doubled would only ask again for ever.
    if (code != ERROR_INSUFFICIENT_BUFFER || dataSize == 0 || dataSize > 0x7FFFFFFF) {
      *error = code;
      return Look::Failed;
    }
    // Twice what was asked for, zero-filled: room for a list that grew since
    // the size was reported, and a terminator after the reported data.
    buffer.Reset();
    buffer.Reset(ops.LocalAlloc(LPTR, SIZE_T{dataSize} * 2));
    if (!buffer) {
      *error = ops.GetLastError();
      return Look::Failed;
    }
    bufferSize = dataSize * 2;
  }
  return HardwareIdListHolds(static_cast<const BYTE*>(buffer.Get()), bufferSize, dataSize, hardwareId)
             ? Look::Match
             : Look::NoMatch;
}

}  // namespace

bool HardwareIdListHolds(const BYTE* buffer, DWORD bufferSize, DWORD dataSize,
                         const std::string& hardwareId) {
  if (buffer == nullptr) return false;
  const char* text = reinterpret_cast<const char*>(buffer);
  const DWORD end = dataSize < bufferSize ? dataSize : bufferSize;
  for (DWORD offset = 0; offset < end && text[offset] != '\0';) {
    const void* terminator = std::memchr(text + offset, '\0', bufferSize - offset);
    if (terminator == nullptr) return false;
    const DWORD length = static_cast<DWORD>(static_cast<const char*>(terminator) - (text + offset));
    // Windows compares hardware ids without regard to case: a node an
    // earlier install made as *KORVANTA\RUNDAVEK is this device.
    if (EqualIgnoringAsciiCase(std::string_view(text + offset, length), hardwareId)) return true;
    offset += length + 1;
  }
  return false;
}

bool FindDeviceByHardwareId(PlatformOps& ops, const std::string& hardwareId) {
  ScopedDeviceInfoSet devices(
      ops, ops.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  if (!devices) return false;  // the last error is the platform's

  SP_DEVINFO_DATA device;
  std::memset(&device, 0, sizeof device);
  device.cbSize = sizeof device;
  DWORD outcome = NO_ERROR;
  for (DWORD index = 0;; ++index) {
    if (!ops.SetupDiEnumDeviceInfo(devices.Get(), index, &device)) {
      outcome = ops.GetLastError();  // ERROR_NO_MORE_ITEMS after the last device
      break;
    }
    const Look look = LookAtDevice(ops, devices.Get(), device, hardwareId, &outcome);
    if (look == Look::Match) {
      outcome = NO_ERROR;
      break;
    }
    if (look == Look::Failed) break;
  }
  // Destroying the set may change the last error; the search's outcome is
  // what the caller reads.
  devices.Reset();
  ops.SetLastError(outcome);
  return outcome == NO_ERROR;
}

bool RegisterRootDevice(const Platform& platform, const std::string& hardwareId,
                        const std::string& infPath) {
  PlatformOps& ops = platform.ops;
  GUID classGuid;
  std::memset(&classGuid, 0, sizeof classGuid);
  char className[MAX_CLASS_NAME_LEN] = {};
  if (!ops.SetupDiGetINFClassA(infPath.c_str(), &classGuid, className, MAX_CLASS_NAME_LEN,
                               nullptr)) {
    return false;
  }
  className[MAX_CLASS_NAME_LEN - 1] = '\0';  // some SetupAPIs cut a long name without ending it
  ScopedDeviceInfoSet devices(ops, ops.SetupDiCreateDeviceInfoList(&classGuid, nullptr));
  if (!devices) return false;

  SP_DEVINFO_DATA device;
  std::memset(&device, 0, sizeof device);
  device.cbSize = sizeof device;
  // A multi-string of one entry: the id, its zero byte, the list's zero byte
  // (the one c_str() adds).
  const std::string hardwareIds = hardwareId + '\0';
  bool done =
      ops.SetupDiCreateDeviceInfoA(devices.Get(), className, &classGuid, nullptr, nullptr,
                                   DICD_GENERATE_ID, &device) &&
      ops.SetupDiSetDeviceRegistryPropertyA(devices.Get(), &device, SPDRP_HARDWAREID,
                                            reinterpret_cast<const BYTE*>(hardwareIds.c_str()),
                                            static_cast<DWORD>(hardwareId.size() + 2)) &&
      ops.SetupDiCallClassInstaller(DIF_REGISTERDEVICE, devices.Get(), &device);
  if (done && !UpdateDriver(platform, hardwareId, infPath)) {
    // A registered node without a driver would stay behind as an unknown
    // device; the update's code is the outcome, not the removal's.
    const DWORD updateError = ops.GetLastError();
    ops.SetupDiCallClassInstaller(DIF_REMOVE, devices.Get(), &device);
    ops.SetLastError(updateError);
    done = false;
  }
  const DWORD outcome = done ? NO_ERROR : ops.GetLastError();
  devices.Reset();
  ops.SetLastError(outcome);
  return done;
}

bool InstallRootDevice(const Platform& platform, const std::string& infPath,
                       const std::string& hardwareId) {
  if (FindDeviceByHardwareId(platform.ops, hardwareId)) {
    return UpdateDriver(platform, hardwareId, infPath);
  }
  if (platform.ops.GetLastError() != ERROR_NO_MORE_ITEMS) return false;
  return RegisterRootDevice(platform, hardwareId, infPath);
}

}  // namespace korvanta
