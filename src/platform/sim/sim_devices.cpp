// The device tree and the SetupAPI / NewDev operations over it: device
// information sets, the hardware-id property, INF classes, creation and
// registration of root-enumerated devices, and driver updates.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/sim/sim_state.h"

namespace korvanta::sim {

namespace {

constexpr DWORD kSpdrpMax = 0x25;

BOOL Fail(SimMachine::State& s, DWORD error) {
  s.lastError = error;
  return FALSE;
}

// SetupAPI and NewDev report success through the last error too.
BOOL Succeed(SimMachine::State& s) {
  s.lastError = NO_ERROR;
  return TRUE;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool ValidRecord(const SP_DEVINFO_DATA* record) {
  return record != nullptr &&
         (record->cbSize == kDevInfoData32Size || record->cbSize == sizeof(SP_DEVINFO_DATA));
}

// Whether a REG_MULTI_SZ list holds `id`, compared as Windows compares device
// ids: without regard to letter case.
bool ListHolds(const std::string& multiSz, std::string_view id) {
  size_t start = 0;
  while (start < multiSz.size() && multiSz[start] != '\0') {
    size_t end = multiSz.find('\0', start);
    if (end == std::string::npos) end = multiSz.size();
    if (IEquals(std::string_view(multiSz).substr(start, end - start), id)) return true;
    start = end + 1;
  }
  return false;
}

HDEVINFO NewSet(SimMachine::State& s, DeviceInfoSet set) {
  const uintptr_t handle = s.NewHandleValue();
  s.deviceSets[handle] = std::move(set);
  s.lastError = NO_ERROR;
  return reinterpret_cast<HDEVINFO>(handle);
}

DeviceInfoSet* SetOf(SimMachine::State& s, HDEVINFO set) {
  const auto it = s.deviceSets.find(reinterpret_cast<uintptr_t>(set));
  return it == s.deviceSets.end() ? nullptr : &it->second;
}

// The element of `set` a record names, matched by the element number kept in
// `Reserved`; null with the error when there is none.
DeviceElement* ElementOf(SimMachine::State& s, HDEVINFO set, const SP_DEVINFO_DATA* record, DWORD* error) {
  DeviceInfoSet* info = SetOf(s, set);
  if (info == nullptr) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (!ValidRecord(record)) {
    *error = error::kInvalidUserBuffer;
    return nullptr;
  }
  const size_t index = static_cast<size_t>(record->Reserved);
  if (index < 1 || index > info->elements.size()) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return &info->elements[index - 1];
}

void Describe(const DeviceElement& element, size_t index, const GUID& classGuid, SP_DEVINFO_DATA* record) {
  record->ClassGuid = classGuid;
  record->DevInst = element.devInst;
  record->Reserved = index + 1;
}

// The tree entry of a registered element, or null when it is gone.
SimDevice* NodeOf(SimMachine::State& s, const DeviceElement& element) {
  for (size_t i = 0; i < s.devices.size(); ++i) {
    if (s.deviceNodes[i] == element.devInst) return &s.devices[i];
  }
  return nullptr;
}

// The [Version] values of an INF, read with the profile-file rules.
std::string InfValue(const std::string& bytes, std::string_view key) {
  for (const std::string& entry : ProfileSectionEntries(bytes, "Version")) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos || !IEquals(Trim(std::string_view(entry).substr(0, equals)), key)) {
      continue;
    }
    std::string value(Trim(std::string_view(entry).substr(equals + 1)));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    return value;
  }
  return std::string();
}

}  // namespace

void SimMachine::AddDevice(const SimDevice& device) {
  state_->devices.push_back(device);
  state_->deviceNodes.push_back(state_->nextDevInst++);
}

const std::vector<SimDevice>& SimMachine::Devices() const { return state_->devices; }

HDEVINFO SimMachine::SetupDiGetClassDevsA(FARPROC proc, const GUID* classGuid, const char* enumerator,
                                          HWND parent, DWORD flags) {
  State& s = *state_;
  if (auto error = s.Record("SetupDiGetClassDevsA", JoinArgs({proc, classGuid, enumerator, parent, flags}))) {
    s.lastError = *error;
    return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE);
  }
  if (!s.CheckProc(proc, "setupapi.dll", "SetupDiGetClassDevsA")) {
    s.lastError = ERROR_PROC_NOT_FOUND;
    return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE);
  }
  const bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
  if (!allClasses && classGuid == nullptr) {
    s.lastError = ERROR_INVALID_PARAMETER;
    return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE);
  }
  DeviceInfoSet set;
  if (!allClasses) set.classGuid = *classGuid;
  for (size_t i = 0; i < s.devices.size(); ++i) {
    const SimDevice& device = s.devices[i];
    if ((flags & DIGCF_PRESENT) && !device.present) continue;
    if (!allClasses && !SameGuid(device.classGuid, *classGuid)) continue;
    if (enumerator != nullptr && !IEquals(device.instanceId.substr(0, device.instanceId.find('\\')), enumerator)) {
      continue;
    }
    DeviceElement element;
    element.devInst = s.deviceNodes[i];
    element.registered = true;
    set.elements.push_back(element);
  }
  return NewSet(s, std::move(set));
}

BOOL SimMachine::SetupDiEnumDeviceInfo(FARPROC proc, HDEVINFO set, DWORD index, SP_DEVINFO_DATA* device) {
  State& s = *state_;
  if (auto error = s.Record("SetupDiEnumDeviceInfo", JoinArgs({proc, set, index, LogArg::Pointer(device)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "setupapi.dll", "SetupDiEnumDeviceInfo")) return Fail(s, ERROR_PROC_NOT_FOUND);
  DeviceInfoSet* info = SetOf(s, set);
  if (info == nullptr) return Fail(s, ERROR_INVALID_HANDLE);
  if (!ValidRecord(device)) return Fail(s, error::kInvalidUserBuffer);
  if (index >= info->elements.size()) return Fail(s, ERROR_NO_MORE_ITEMS);
  const DeviceElement& element = info->elements[index];
  const SimDevice* node = element.registered ? NodeOf(s, element) : &element.pending;
  Describe(element, index, node ? node->classGuid : GUID{}, device);
  return Succeed(s);
}

BOOL SimMachine::SetupDiGetDeviceRegistryPropertyA(FARPROC proc, HDEVINFO set, SP_DEVINFO_DATA* device,
                                                   DWORD property, DWORD* valueType, BYTE* buffer,
                                                   DWORD size, DWORD* requiredSize) {
  State& s = *state_;
  if (auto error = s.Record("SetupDiGetDeviceRegistryPropertyA",
                            JoinArgs({proc, set, LogArg::Pointer(device), property, LogArg::Pointer(valueType),
                                      LogArg::Pointer(buffer), size, LogArg::Pointer(requiredSize)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "setupapi.dll", "SetupDiGetDeviceRegistryPropertyA")) {
    return Fail(s, ERROR_PROC_NOT_FOUND);
  }
  DWORD lookupError = 0;
  DeviceElement* element = ElementOf(s, set, device, &lookupError);
  if (element == nullptr) return Fail(s, lookupError);
  const SimDevice* node = element->registered ? NodeOf(s, *element) : &element->pending;
  if (node == nullptr) return Fail(s, ERROR_NO_SUCH_DEVINST);
  if (property > kSpdrpMax) return Fail(s, error::kInvalidRegProperty);
  // Only the hardware ids are modelled; every other property reads as absent.
  if (property != SPDRP_HARDWAREID || !node->hasHardwareIds) return Fail(s, ERROR_INVALID_DATA);
  const DWORD length = static_cast<DWORD>(node->hardwareIdsMultiSz.size());
  if (requiredSize) *requiredSize = length;
  if (valueType) *valueType = REG_MULTI_SZ;
  if (buffer == nullptr && size != 0) return Fail(s, error::kInvalidUserBuffer);
  if (size < length) return Fail(s, ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, node->hardwareIdsMultiSz.data(), length);
  return Succeed(s);
}

BOOL SimMachine::SetupDiDestroyDeviceInfoList(FARPROC proc, HDEVINFO set) {
  State& s = *state_;
  if (auto error = s.Record("SetupDiDestroyDeviceInfoList", JoinArgs({proc, set}))) return Fail(s, *error);
  if (!s.CheckProc(proc, "setupapi.dll", "SetupDiDestroyDeviceInfoList")) return Fail(s, ERROR_PROC_NOT_FOUND);
  // Elements that were created but never registered go with the set.
  if (s.deviceSets.erase(reinterpret_cast<uintptr_t>(set)) == 0) return Fail(s, ERROR_INVALID_HANDLE);
  return Succeed(s);
}

BOOL SimMachine::SetupDiGetINFClassA(FARPROC proc, const char* infName, GUID* classGuid, char* className,
                                     DWORD classNameSize, DWORD* requiredSize) {
  State& s = *state_;
  if (auto error = s.Record("SetupDiGetINFClassA",
                            JoinArgs({proc, infName, LogArg::Pointer(classGuid), LogArg::Pointer(className),
                                      classNameSize, LogArg::Pointer(requiredSize)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "setupapi.dll", "SetupDiGetINFClassA")) return Fail(s, ERROR_PROC_NOT_FOUND);
  if (infName == nullptr || classGuid == nullptr || className == nullptr) {
    return Fail(s, ERROR_INVALID_PARAMETER);
  }
  // A bare name is looked for in the Windows INF folder.
  const std::string_view name(infName);
  const std::string path = name.find_first_of("\\/:") == std::string_view::npos
                               ? s.windowsDirectory + "\\INF\\" + std::string(name)
                               : std::string(name);
  DWORD error = 0;
  const std::optional<ResolvedPath> resolved = s.Resolve(path, &error);
  const FileNode* node = resolved ? s.Find(resolved->key) : nullptr;
  if (node == nullptr || node->directory) return Fail(s, ERROR_FILE_NOT_FOUND);
  const std::string classText = InfValue(node->bytes, "Class");
  const std::optional<GUID> guid = ParseGuid(InfValue(node->bytes, "ClassGUID"));
  if (classText.empty() || !guid) return Fail(s, error::kInvalidClass);
  if (requiredSize) *requiredSize = static_cast<DWORD>(classText.size() + 1);
  if (classText.size() + 1 > classNameSize) return Fail(s, ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(className, classText.c_str(), classText.size() + 1);
  *classGuid = *guid;
  return Succeed(s);
}

HDEVINFO SimMachine::SetupDiCreateDeviceInfoList(FARPROC proc, const GUID* classGuid, HWND parent) {
  State& s = *state_;
  if (auto error = s.Record("SetupDiCreateDeviceInfoList", JoinArgs({proc, classGuid, parent}))) {
    s.lastError = *error;
    return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE);
  }
  if (!s.CheckProc(proc, "setupapi.dll", "SetupDiCreateDeviceInfoList")) {
    s.lastError = ERROR_PROC_NOT_FOUND;
    return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE);
  }
  DeviceInfoSet set;
  if (classGuid) set.classGuid = *classGuid;
  return NewSet(s, std::move(set));
}

BOOL SimMachine::SetupDiCreateDeviceInfoA(FARPROC proc, HDEVINFO set, const char* deviceName,
                                          const GUID* classGuid, const char* description, HWND parent,
                                          DWORD flags, SP_DEVINFO_DATA* device) {
  State& s = *state_;
  if (auto error = s.Record("SetupDiCreateDeviceInfoA",
                            JoinArgs({proc, set, deviceName, classGuid, description, parent, flags,
                                      LogArg::Pointer(device)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "setupapi.dll", "SetupDiCreateDeviceInfoA")) return Fail(s, ERROR_PROC_NOT_FOUND);
  DeviceInfoSet* info = SetOf(s, set);
  if (info == nullptr) return Fail(s, ERROR_INVALID_HANDLE);
  if (deviceName == nullptr || classGuid == nullptr) return Fail(s, ERROR_INVALID_PARAMETER);
  if (device != nullptr && !ValidRecord(device)) return Fail(s, error::kInvalidUserBuffer);
  if (info->classGuid && !SameGuid(*info->classGuid, *classGuid)) return Fail(s, ERROR_CLASS_MISMATCH);

  std::string instanceId;
  const auto taken = [&](const std::string& id) {
    const bool inTree = std::any_of(s.devices.begin(), s.devices.end(),
                                    [&](const SimDevice& d) { return IEquals(d.instanceId, id); });
    const bool inSet = std::any_of(info->elements.begin(), info->elements.end(), [&](const DeviceElement& e) {
      return !e.registered && IEquals(e.pending.instanceId, id);
    });
    return inTree || inSet;
  };
  if (flags & DICD_GENERATE_ID) {
    // The name is a class name; Windows makes the first free ROOT\<NAME>\nnnn.
    if (std::strchr(deviceName, '\\') != nullptr || *deviceName == '\0') {
      return Fail(s, error::kInvalidDevinstName);
    }
    for (int number = 0; instanceId.empty(); ++number) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "%04d", number);
      const std::string candidate = "ROOT\\" + Upper(deviceName) + "\\" + suffix;
      if (!taken(candidate)) instanceId = candidate;
    }
  } else {
    if (*deviceName == '\0') return Fail(s, error::kInvalidDevinstName);
    instanceId = Upper(deviceName);
    if (taken(instanceId)) return Fail(s, ERROR_DEVINST_ALREADY_EXISTS);
  }

  DeviceElement element;
  element.pending.instanceId = instanceId;
  element.pending.classGuid = *classGuid;
  element.pending.present = false;
  element.pending.hasHardwareIds = false;
  info->elements.push_back(element);
  if (device) Describe(info->elements.back(), info->elements.size() - 1, *classGuid, device);
  return Succeed(s);
}

BOOL SimMachine::SetupDiSetDeviceRegistryPropertyA(FARPROC proc, HDEVINFO set, SP_DEVINFO_DATA* device,
                                                   DWORD property, const BYTE* buffer, DWORD size) {
  State& s = *state_;
  if (auto error = s.Record("SetupDiSetDeviceRegistryPropertyA",
                            JoinArgs({proc, set, LogArg::Pointer(device), property, LogArg::Pointer(buffer), size}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "setupapi.dll", "SetupDiSetDeviceRegistryPropertyA")) {
    return Fail(s, ERROR_PROC_NOT_FOUND);
  }
  DWORD lookupError = 0;
  DeviceElement* element = ElementOf(s, set, device, &lookupError);
  if (element == nullptr) return Fail(s, lookupError);
  if (property != SPDRP_HARDWAREID) return Fail(s, error::kInvalidRegProperty);
  if (buffer == nullptr && size != 0) return Fail(s, error::kInvalidUserBuffer);
  SimDevice* node = element->registered ? NodeOf(s, *element) : &element->pending;
  if (node == nullptr) return Fail(s, ERROR_NO_SUCH_DEVINST);
  // No data removes the property.
  node->hasHardwareIds = buffer != nullptr && size > 0;
  node->hardwareIdsMultiSz.assign(reinterpret_cast<const char*>(buffer), buffer ? size : 0);
  return Succeed(s);
}

BOOL SimMachine::SetupDiCallClassInstaller(FARPROC proc, DI_FUNCTION function, HDEVINFO set,
                                           SP_DEVINFO_DATA* device) {
  State& s = *state_;
  if (auto error = s.Record("SetupDiCallClassInstaller",
                            JoinArgs({proc, DWORD{function}, set, LogArg::Pointer(device)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "setupapi.dll", "SetupDiCallClassInstaller")) return Fail(s, ERROR_PROC_NOT_FOUND);
  if (SetOf(s, set) == nullptr) return Fail(s, ERROR_INVALID_HANDLE);
  if (function != DIF_REGISTERDEVICE && function != DIF_REMOVE) return Succeed(s);  // nothing to model
  DWORD lookupError = 0;
  DeviceElement* element = ElementOf(s, set, device, &lookupError);
  if (element == nullptr) return Fail(s, lookupError);

  if (function == DIF_REGISTERDEVICE) {
    if (element->registered) return Succeed(s);
    const bool exists = std::any_of(s.devices.begin(), s.devices.end(), [&](const SimDevice& d) {
      return IEquals(d.instanceId, element->pending.instanceId);
    });
    if (exists) return Fail(s, ERROR_DEVINST_ALREADY_EXISTS);
    SimDevice node = element->pending;
    node.present = true;
    AddDevice(node);
    element->devInst = s.deviceNodes.back();
    element->registered = true;
    device->DevInst = element->devInst;
    return Succeed(s);
  }

  // DIF_REMOVE: the node leaves the tree.
  if (!element->registered) return Fail(s, error::kDevinfoNotRegistered);
  for (size_t i = 0; i < s.devices.size(); ++i) {
    if (s.deviceNodes[i] == element->devInst) {
      s.devices.erase(s.devices.begin() + static_cast<std::ptrdiff_t>(i));
      s.deviceNodes.erase(s.deviceNodes.begin() + static_cast<std::ptrdiff_t>(i));
      return Succeed(s);
    }
  }
  return Fail(s, ERROR_NO_SUCH_DEVINST);
}

BOOL SimMachine::UpdateDriverForPlugAndPlayDevicesA(FARPROC proc, HWND parent, const char* hardwareId,
                                                    const char* infPath, DWORD flags, BOOL* rebootRequired) {
  State& s = *state_;
  if (auto error = s.Record("UpdateDriverForPlugAndPlayDevicesA",
                            JoinArgs({proc, parent, hardwareId, infPath, flags, LogArg::Pointer(rebootRequired)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "NewDev.dll", "UpdateDriverForPlugAndPlayDevicesA")) return Fail(s, ERROR_PROC_NOT_FOUND);
  if (hardwareId == nullptr || infPath == nullptr || *hardwareId == '\0') return Fail(s, ERROR_INVALID_PARAMETER);
  if (flags & ~DWORD{INSTALLFLAG_FORCE | 0x2 /* READONLY */ | 0x4 /* NONINTERACTIVE */}) {
    return Fail(s, error::kInvalidFlags);
  }
  DWORD error = 0;
  const std::optional<ResolvedPath> inf = s.Resolve(infPath, &error);
  const FileNode* node = inf ? s.Find(inf->key) : nullptr;
  if (node == nullptr || node->directory) return Fail(s, ERROR_FILE_NOT_FOUND);
  std::vector<SimDevice*> matches;
  for (SimDevice& device : s.devices) {
    if (device.present && device.hasHardwareIds && ListHolds(device.hardwareIdsMultiSz, hardwareId)) {
      matches.push_back(&device);
    }
  }
  if (matches.empty()) return Fail(s, ERROR_NO_SUCH_DEVINST);
  for (SimDevice* device : matches) {
    device->driverInf = node->path;
    ++device->driverUpdates;
  }
  if (rebootRequired) *rebootRequired = FALSE;
  return Succeed(s);
}

}  // namespace korvanta::sim
