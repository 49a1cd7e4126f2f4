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

bool SetupApi::Load() {
  if (!functions_) {
    functions_.emplace(LoadRunTimeFunctions<FunctionCount>(
        ops_, "setupapi.dll",
        {"SetupDiGetClassDevsA", "SetupDiEnumDeviceInfo", "SetupDiGetDeviceRegistryPropertyA",
         "SetupDiDestroyDeviceInfoList", "SetupDiGetINFClassA", "SetupDiCreateDeviceInfoList",
         "SetupDiCreateDeviceInfoA", "SetupDiSetDeviceRegistryPropertyA",
         "SetupDiCallClassInstaller"}));
  }
  // A set that could be made but not destroyed again would stay open: with
  // one function missing, none is used.
  if (functions_->AllFound()) return true;
  ops_.SetLastError(functions_->library ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND);
  return false;
}

FARPROC SetupApi::operator[](Function function) const {
  return functions_ && functions_->AllFound() ? functions_->address[function] : nullptr;
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

// The run's SetupAPI, loaded on first use; null with ERROR_MOD_NOT_FOUND
// where there is none.
SetupApi* LoadedSetupApi(const Platform& platform) {
  if (platform.setupApi == nullptr) {
    platform.ops.SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return platform.setupApi->Load() ? platform.setupApi : nullptr;
}

// A device information set, destroyed through the SetupAPI that made it on
// every way out.
class DeviceSet {
 public:
  DeviceSet(PlatformOps& ops, const SetupApi& api, HDEVINFO set)
      : ops_(ops), api_(api), set_(set) {}
  // The devices of every class, as `flags` (DIGCF_*) choose them.
  static HDEVINFO OfAllClasses(PlatformOps& ops, const SetupApi& api, DWORD flags) {
    return ops.SetupDiGetClassDevsA(api[SetupApi::GetClassDevs], nullptr, nullptr, nullptr,
                                    flags | DIGCF_ALLCLASSES);
  }
  ~DeviceSet() { Reset(); }
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;

  HDEVINFO Get() const { return set_; }
  explicit operator bool() const { return set_ != INVALID_HANDLE_VALUE; }
  void Reset() {
    if (*this) ops_.SetupDiDestroyDeviceInfoList(api_[SetupApi::DestroyDeviceInfoList], set_);
    set_ = static_cast<HDEVINFO>(INVALID_HANDLE_VALUE);
  }

 private:
  PlatformOps& ops_;
  const SetupApi& api_;
  HDEVINFO set_;
};

enum class Look { Match, NoMatch, Failed };

// A device record ready to be filled: zeroed, with its size set.
SP_DEVINFO_DATA EmptyDeviceRecord() {
  SP_DEVINFO_DATA device;
  std::memset(&device, 0, sizeof device);
  device.cbSize = sizeof device;
  return device;
}

// Reads one device's hardware-id list and looks for the id in it. A device
// without the list is no match; any other failed read ends the search with
// its code in `error`.
Look LookAtDevice(PlatformOps& ops, const SetupApi& api, HDEVINFO devices,
                  SP_DEVINFO_DATA& device, const std::string& hardwareId, DWORD* error) {
  ScopedLocalMemory buffer(ops);
  DWORD bufferSize = 0;
  DWORD dataSize = 0;
  while (!ops.SetupDiGetDeviceRegistryPropertyA(api[SetupApi::GetDeviceRegistryProperty], devices,
                                                &device, SPDRP_HARDWAREID, nullptr,
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

bool FindDeviceByHardwareId(const Platform& platform, const std::string& hardwareId) {
  PlatformOps& ops = platform.ops;
  const SetupApi* loaded = LoadedSetupApi(platform);
  if (loaded == nullptr) return false;
  const SetupApi& api = *loaded;
  DeviceSet devices(ops, api, DeviceSet::OfAllClasses(ops, api, DIGCF_PRESENT));
  if (!devices) return false;  // the last error is the platform's

  SP_DEVINFO_DATA device = EmptyDeviceRecord();
  DWORD outcome = NO_ERROR;
  for (DWORD index = 0;; ++index) {
    if (!ops.SetupDiEnumDeviceInfo(api[SetupApi::EnumDeviceInfo], devices.Get(), index,
                                   &device)) {
      outcome = ops.GetLastError();  // ERROR_NO_MORE_ITEMS after the last device
      break;
    }
    const Look look = LookAtDevice(ops, api, devices.Get(), device, hardwareId, &outcome);
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
  const SetupApi* loaded = LoadedSetupApi(platform);
  if (loaded == nullptr) return false;
  const SetupApi& api = *loaded;
  GUID classGuid;
  std::memset(&classGuid, 0, sizeof classGuid);
  char className[MAX_CLASS_NAME_LEN] = {};
  if (!ops.SetupDiGetINFClassA(api[SetupApi::GetInfClass], infPath.c_str(), &classGuid, className,
                               MAX_CLASS_NAME_LEN, nullptr)) {
    return false;
  }
  className[MAX_CLASS_NAME_LEN - 1] = '\0';  // some SetupAPIs cut a long name without ending it
  DeviceSet devices(ops, api,
                    ops.SetupDiCreateDeviceInfoList(api[SetupApi::CreateDeviceInfoList], &classGuid,
                                                    nullptr));
  if (!devices) return false;

  SP_DEVINFO_DATA device = EmptyDeviceRecord();
  // A multi-string of one entry: the id, its zero byte, the list's zero byte
  // (the one c_str() adds).
  const std::string hardwareIds = hardwareId + '\0';
  bool done =
      ops.SetupDiCreateDeviceInfoA(api[SetupApi::CreateDeviceInfo], devices.Get(), className,
                                   &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &device) &&
      ops.SetupDiSetDeviceRegistryPropertyA(api[SetupApi::SetDeviceRegistryProperty],
                                            devices.Get(), &device, SPDRP_HARDWAREID,
                                            reinterpret_cast<const BYTE*>(hardwareIds.c_str()),
                                            static_cast<DWORD>(hardwareId.size() + 2)) &&
      ops.SetupDiCallClassInstaller(api[SetupApi::CallClassInstaller], DIF_REGISTERDEVICE,
                                    devices.Get(), &device);
  if (done && !UpdateDriver(platform, hardwareId, infPath)) {
    // A registered node without a driver would stay behind as an unknown
    // device; the update's code is the outcome, not the removal's.
    const DWORD updateError = ops.GetLastError();
    ops.SetupDiCallClassInstaller(api[SetupApi::CallClassInstaller], DIF_REMOVE, devices.Get(),
                                  &device);
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
  if (FindDeviceByHardwareId(platform, hardwareId)) {
    return UpdateDriver(platform, hardwareId, infPath);
  }
  // Also the end without setupapi.dll (ERROR_MOD_NOT_FOUND).
  if (platform.ops.GetLastError() != ERROR_NO_MORE_ITEMS) return false;
  return RegisterRootDevice(platform, hardwareId, infPath);
}

bool RemoveRootDevices(const Platform& platform, const std::string& hardwareId) {
  PlatformOps& ops = platform.ops;
  // Without SetupAPI no device installation made a node either.
  const SetupApi* loaded = LoadedSetupApi(platform);
  if (loaded == nullptr) return true;
  const SetupApi& api = *loaded;
  // Present or not: a node whose driver is gone must not stay behind to be
  // started again when its hardware reappears.
  DeviceSet devices(ops, api, DeviceSet::OfAllClasses(ops, api, 0));
  if (!devices) return false;
  SP_DEVINFO_DATA device = EmptyDeviceRecord();
  bool allRemoved = true;
  // A removed node keeps its place in the set, so the indexes stay.
  for (DWORD index = 0;
       ops.SetupDiEnumDeviceInfo(api[SetupApi::EnumDeviceInfo], devices.Get(), index, &device);
       ++index) {
    DWORD error = NO_ERROR;
    const Look look = LookAtDevice(ops, api, devices.Get(), device, hardwareId, &error);
    if (look == Look::Failed) {
      allRemoved = false;
    } else if (look == Look::Match &&
               !ops.SetupDiCallClassInstaller(api[SetupApi::CallClassInstaller], DIF_REMOVE,
                                              devices.Get(), &device)) {
      allRemoved = false;
    }
  }
  return allRemoved && ops.GetLastError() == ERROR_NO_MORE_ITEMS;
}

}  // namespace korvanta
