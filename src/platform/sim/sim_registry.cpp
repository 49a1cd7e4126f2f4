// The simulated registry: four predefined roots, keys with typed byte-exact
// values, per-key refused access and applied access lists, and the advapi32
// registry operations with Windows' return codes and size rules.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/sim/sim_state.h"

namespace korvanta::sim {

namespace {

constexpr REGSAM kKeyAllAccess = KEY_ALL_ACCESS;
constexpr REGSAM kKeyRead = KEY_READ;
constexpr REGSAM kKeyWrite = KEY_WRITE;
constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericExecute = 0x20000000;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kWow64Flags = 0x0300;
constexpr BYTE kInheritOnlyAce = 0x08;

}  // namespace

// Generic rights as the registry maps them.
REGSAM MapGenericKeyAccess(REGSAM mask) {
  REGSAM mapped = mask & ~(kGenericRead | kGenericWrite | kGenericExecute | GENERIC_ALL | kWow64Flags);
  if (mask & kGenericRead) mapped |= kKeyRead;
  if (mask & kGenericWrite) mapped |= kKeyWrite;
  if (mask & kGenericExecute) mapped |= kKeyRead;
  if (mask & GENERIC_ALL) mapped |= kKeyAllAccess;
  return mapped;
}

// A sub-key path split into its names. Trailing backslashes are ignored, as
// Windows does; a leading one is refused on the NT family.
std::optional<std::vector<std::string>> SplitKeyPath(std::string_view path, bool nt, LONG* error) {
  std::vector<std::string> names;
  if (nt && !path.empty() && path.front() == '\\') {
    *error = ERROR_BAD_PATHNAME;
    return std::nullopt;
  }
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end == start) {
      *error = ERROR_BAD_PATHNAME;
      return std::nullopt;
    }
    names.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

namespace {

HKEY HandleOf(uintptr_t value) { return reinterpret_cast<HKEY>(value); }

const RegistryValue* FindValue(const RegKey& key, const char* name) {
  const std::string wanted = name ? name : "";
  for (const auto& [valueName, value] : key.values) {
    if (IEquals(valueName, wanted)) return &value;
  }
  return nullptr;
}

bool IsPredefined(HKEY key) {
  return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE ||
         key == HKEY_USERS;
}

}  // namespace

// ---- key lookup and access ------------------------------------------------------

std::shared_ptr<RegKey> SimMachine::State::RootKey(HKEY root) const {
  const auto it = roots.find(reinterpret_cast<uintptr_t>(root));
  return it == roots.end() ? nullptr : it->second;
}

std::shared_ptr<RegKey> SimMachine::State::KeyOfHandle(HKEY key, LONG* error) const {
  if (std::shared_ptr<RegKey> root = RootKey(key)) return root;
  const auto it = regHandles.find(reinterpret_cast<uintptr_t>(key));
  if (it == regHandles.end()) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (it->second.key->deleted) {
    *error = ERROR_KEY_DELETED;
    return nullptr;
  }
  return it->second.key;
}

std::shared_ptr<RegKey> SimMachine::State::WalkKey(std::shared_ptr<RegKey> base,
                                                    const std::string& path) const {
  LONG error = 0;
  const std::optional<std::vector<std::string>> names = SplitKeyPath(path, false, &error);
  if (!names) return nullptr;
  for (const std::string& name : *names) {
    const auto it = base->subkeys.find(Upper(name));
    if (it == base->subkeys.end()) return nullptr;
    base = it->second;
  }
  return base;
}

// What a user may do with a key: everything, less what a test refused, and,
// once an access list was applied here or above, only what its entries for
// Everyone (and, for the installer, Administrators) allow. On 2000 and later
// an entry reaches the keys below through CONTAINER_INHERIT_ACE at once, down
// to the first key whose list is protected; NT 4 pushes nothing down, so
// there the nearest list alone decides (keys created under it hold a copy).
// The 9x family has no registry security, so there only the refusals a test
// sets up apply.
REGSAM SimMachine::State::AllowedAccess(const RegKey& key, bool administrator) const {
  if (Is9x()) return ~key.denied;
  bool governed = false;
  REGSAM allowed = 0;
  REGSAM refused = 0;
  for (const RegKey* k = &key; k != nullptr; k = k->parent) {
    if (k->dacl) {
      governed = true;
      for (const AceRecord& ace : *k->dacl) {
        const bool own = k == &key;
        if (ace.trustee == Trustee::Other) continue;
        if (ace.trustee == Trustee::Administrators && !administrator) continue;
        if (own && (ace.flags & kInheritOnlyAce)) continue;
        if (!own && !(ace.flags & CONTAINER_INHERIT_ACE)) continue;
        (ace.allow ? allowed : refused) |= MapGenericKeyAccess(ace.mask);
      }
      if (IsNt4()) break;
    }
    if (k->daclProtected) break;  // nothing from above reaches a protected list
  }
  const REGSAM base = governed ? allowed & ~refused : ~REGSAM{0};
  return base & ~key.denied;
}

namespace {

// The access a handle is given, or ERROR_ACCESS_DENIED.
std::optional<REGSAM> Grant(const SimMachine::State& s, const RegKey& key, REGSAM requested) {
  const REGSAM allowed = s.AllowedAccess(key);
  if (requested & kMaximumAllowed) return allowed & kKeyAllAccess;
  const REGSAM wanted = MapGenericKeyAccess(requested);
  if ((wanted & ~allowed) != 0) return std::nullopt;
  return wanted;
}

// The handle's key when the handle carries `needed`, else an error.
std::shared_ptr<RegKey> KeyFor(const SimMachine::State& s, HKEY key, REGSAM needed, LONG* error) {
  std::shared_ptr<RegKey> result = s.KeyOfHandle(key, error);
  if (!result) return nullptr;
  if (!s.Is9x() && !IsPredefined(key)) {
    const REGSAM granted = s.regHandles.at(reinterpret_cast<uintptr_t>(key)).granted;
    if ((granted & needed) != needed) {
      *error = ERROR_ACCESS_DENIED;
      return nullptr;
    }
  }
  return result;
}

HKEY OpenHandle(SimMachine::State& s, std::shared_ptr<RegKey> key, REGSAM granted) {
  const uintptr_t handle = s.NewHandleValue();
  s.regHandles[handle] = RegHandle{std::move(key), granted};
  return HandleOf(handle);
}

void MarkDeleted(RegKey& key) {
  key.deleted = true;
  for (auto& [name, subkey] : key.subkeys) MarkDeleted(*subkey);
}

std::shared_ptr<RegKey> SetupKey(SimMachine::State& s, HKEY root, const std::string& path) {
  std::shared_ptr<RegKey> key = s.RootKey(root);
  if (!key) throw std::invalid_argument("SimMachine: not a predefined registry root");
  LONG error = 0;
  const std::optional<std::vector<std::string>> names = SplitKeyPath(path, false, &error);
  if (!names) throw std::invalid_argument("SimMachine: not a usable key path: " + path);
  for (const std::string& name : *names) {
    std::shared_ptr<RegKey>& child = key->subkeys[Upper(name)];
    if (!child) {
      child = std::make_shared<RegKey>();
      child->name = name;
      child->parent = key.get();
    }
    key = child;
  }
  return key;
}

}  // namespace

// ---- the session manager's pending renames ---------------------------------------------
// Windows keeps the delayed moves of MoveFileExA in the registry, where anyone
// may read them: pairs of "\\??\\" paths, the target marked "!" when it may
// replace a file and empty for a deletion.

namespace {

constexpr char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char kPendingRenames[] = "PendingFileRenameOperations";
constexpr std::string_view kNtPrefix = "\\??\\";

std::string_view WithoutPrefix(std::string_view path) {
  if (path.substr(0, kNtPrefix.size()) == kNtPrefix) path.remove_prefix(kNtPrefix.size());
  return path;
}

}  // namespace

std::vector<PendingRename> SimMachine::State::PendingMoves() const {
  std::vector<PendingRename> moves;
  const std::shared_ptr<RegKey> key = WalkKey(RootKey(HKEY_LOCAL_MACHINE), kSessionManager);
  const RegistryValue* value = key ? FindValue(*key, kPendingRenames) : nullptr;
  if (value == nullptr) return moves;
  std::string_view rest = value->bytes;
  const auto next = [&rest] {
    const size_t end = rest.find('\0');
    const std::string_view entry = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return entry;
  };
  while (!rest.empty()) {
    const std::string_view source = next();
    if (source.empty()) break;
    std::string_view target = next();
    const bool replace = !target.empty() && target[0] == '!';
    if (replace) target.remove_prefix(1);
    moves.push_back({std::string(WithoutPrefix(source)), std::string(WithoutPrefix(target)), replace});
  }
  return moves;
}

void SimMachine::State::AddPendingMove(const PendingRename& move) {
  std::shared_ptr<RegKey> key = SetupKey(*this, HKEY_LOCAL_MACHINE, kSessionManager);
  std::string entries = std::string(kNtPrefix) + move.source + '\0' +
                        (move.target.empty() ? "" : (move.replaceExisting ? "!" : "") +
                                                        std::string(kNtPrefix) + move.target) +
                        '\0';
  for (auto& [name, value] : key->values) {
    if (IEquals(name, kPendingRenames)) {
      // The list's closing empty string stays last.
      if (!value.bytes.empty() && value.bytes.back() == '\0') value.bytes.pop_back();
      value.bytes += entries + '\0';
      return;
    }
  }
  key->values.emplace_back(kPendingRenames, RegistryValue{REG_MULTI_SZ, entries + '\0'});
}

void SimMachine::State::ClearPendingMoves() {
  const std::shared_ptr<RegKey> key = WalkKey(RootKey(HKEY_LOCAL_MACHINE), kSessionManager);
  if (!key) return;
  std::erase_if(key->values, [](const auto& value) { return IEquals(value.first, kPendingRenames); });
}

// ---- set-up and inspection ---------------------------------------------------------

void SimMachine::AddRegistryKey(HKEY root, const std::string& path) { SetupKey(*state_, root, path); }

void SimMachine::SetRegistryValue(HKEY root, const std::string& path, const std::string& name,
                                  const RegistryValue& value) {
  std::shared_ptr<RegKey> key = SetupKey(*state_, root, path);
  for (auto& [valueName, stored] : key->values) {
    if (IEquals(valueName, name)) {
      stored = value;
      return;
    }
  }
  key->values.emplace_back(name, value);
}

std::optional<RegistryValue> SimMachine::GetRegistryValue(HKEY root, const std::string& path,
                                                          const std::string& name) const {
  const std::shared_ptr<RegKey> rootKey = state_->RootKey(root);
  const std::shared_ptr<RegKey> key = rootKey ? state_->WalkKey(rootKey, path) : nullptr;
  const RegistryValue* value = key ? FindValue(*key, name.c_str()) : nullptr;
  return value ? std::optional<RegistryValue>(*value) : std::nullopt;
}

bool SimMachine::RegistryKeyExists(HKEY root, const std::string& path) const {
  const std::shared_ptr<RegKey> rootKey = state_->RootKey(root);
  return rootKey && state_->WalkKey(rootKey, path) != nullptr;
}

std::vector<std::string> SimMachine::RegistrySubKeys(HKEY root, const std::string& path) const {
  std::vector<std::string> result;
  const std::shared_ptr<RegKey> rootKey = state_->RootKey(root);
  if (const std::shared_ptr<RegKey> key = rootKey ? state_->WalkKey(rootKey, path) : nullptr) {
    for (const auto& [upper, subkey] : key->subkeys) result.push_back(subkey->name);
  }
  return result;
}

std::vector<std::string> SimMachine::RegistryValueNames(HKEY root, const std::string& path) const {
  std::vector<std::string> result;
  const std::shared_ptr<RegKey> rootKey = state_->RootKey(root);
  if (const std::shared_ptr<RegKey> key = rootKey ? state_->WalkKey(rootKey, path) : nullptr) {
    for (const auto& [name, value] : key->values) result.push_back(name);
  }
  return result;
}

void SimMachine::DenyRegistryAccess(HKEY root, const std::string& path, REGSAM denied) {
  SetupKey(*state_, root, path)->denied |= MapGenericKeyAccess(denied);
}

std::string SimMachine::AppliedDacl(const std::string& objectName) const {
  const auto it = state_->appliedDacls.find(objectName);
  return it == state_->appliedDacls.end() ? std::string() : it->second;
}

// ---- advapi32 registry operations ---------------------------------------------------

LONG SimMachine::RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass,
                                 DWORD options, REGSAM access, SECURITY_ATTRIBUTES* security,
                                 HKEY* result, DWORD* disposition) {
  State& s = *state_;
  if (auto error = s.Record("RegCreateKeyExA",
                            JoinArgs({key, subKey, reserved, keyClass, options, access,
                                      LogArg::Pointer(security), LogArg::Pointer(result),
                                      LogArg::Pointer(disposition)}))) {
    return static_cast<LONG>(*error);
  }
  if (result == nullptr || subKey == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  LONG error = 0;
  std::shared_ptr<RegKey> current = s.KeyOfHandle(key, &error);
  if (!current) return error;
  const std::optional<std::vector<std::string>> names = SplitKeyPath(subKey, !s.Is9x(), &error);
  if (!names) return error;

  DWORD outcome = REG_OPENED_EXISTING_KEY;
  for (const std::string& name : *names) {
    std::shared_ptr<RegKey>& child = current->subkeys[Upper(name)];
    if (!child) {
      // A missing level is created through its parent, which must allow it.
      if (!(s.AllowedAccess(*current) & KEY_CREATE_SUB_KEY)) {
        current->subkeys.erase(Upper(name));
        return ERROR_ACCESS_DENIED;
      }
      child = std::make_shared<RegKey>();
      child->name = name;
      child->parent = current.get();
      if (s.IsNt4()) s.InheritOnCreate(*child);
      outcome = REG_CREATED_NEW_KEY;
    } else {
      outcome = REG_OPENED_EXISTING_KEY;
    }
    current = child;
  }
  const std::optional<REGSAM> granted = Grant(s, *current, access);
  if (!granted) return ERROR_ACCESS_DENIED;
  *result = OpenHandle(s, current, *granted);
  if (disposition) *disposition = outcome;
  return ERROR_SUCCESS;
}

LONG SimMachine::RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access,
                               HKEY* result) {
  State& s = *state_;
  if (auto error = s.Record("RegOpenKeyExA",
                            JoinArgs({key, subKey, options, access, LogArg::Pointer(result)}))) {
    return static_cast<LONG>(*error);
  }
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  LONG error = 0;
  std::shared_ptr<RegKey> current = s.KeyOfHandle(key, &error);
  if (!current) return error;
  const std::optional<std::vector<std::string>> names =
      SplitKeyPath(subKey ? subKey : "", !s.Is9x(), &error);
  if (!names) return error;
  for (const std::string& name : *names) {
    const auto it = current->subkeys.find(Upper(name));
    if (it == current->subkeys.end()) return ERROR_FILE_NOT_FOUND;
    current = it->second;
  }
  const std::optional<REGSAM> granted = Grant(s, *current, access);
  if (!granted) return ERROR_ACCESS_DENIED;
  *result = OpenHandle(s, current, *granted);
  return ERROR_SUCCESS;
}

LONG SimMachine::RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                                const BYTE* data, DWORD size) {
  State& s = *state_;
  if (auto error = s.Record("RegSetValueExA", JoinArgs({key, valueName, reserved, type,
                                                        LogArg::Pointer(data), size}))) {
    return static_cast<LONG>(*error);
  }
  LONG error = 0;
  const std::shared_ptr<RegKey> target = KeyFor(s, key, KEY_SET_VALUE, &error);
  if (!target) return error;
  if (data == nullptr && size != 0) return static_cast<LONG>(error::kNoAccess);
  std::string bytes(reinterpret_cast<const char*>(data), data ? size : 0);
  // NT counts a string's terminator that the caller left out of the size, as
  // long as the byte after the counted ones is that terminator.
  const bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
  if (!s.Is9x() && text && size > 0 && data[size - 1] != 0 && data[size] == 0) bytes.push_back('\0');
  const std::string name = valueName ? valueName : "";
  for (auto& [stored, value] : target->values) {
    if (IEquals(stored, name)) {
      value = RegistryValue{type, bytes};
      return ERROR_SUCCESS;
    }
  }
  target->values.emplace_back(name, RegistryValue{type, bytes});
  return ERROR_SUCCESS;
}

LONG SimMachine::RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type,
                                  BYTE* data, DWORD* size) {
  State& s = *state_;
  if (auto error = s.Record("RegQueryValueExA",
                            JoinArgs({key, valueName, LogArg::Pointer(reserved), LogArg::Pointer(type),
                                      LogArg::Pointer(data), LogArg::Pointer(size)}))) {
    return static_cast<LONG>(*error);
  }
  if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
  LONG error = 0;
  const std::shared_ptr<RegKey> target = KeyFor(s, key, KEY_QUERY_VALUE, &error);
  if (!target) return error;
  const RegistryValue* value = FindValue(*target, valueName);
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type) *type = value->type;
  const DWORD length = static_cast<DWORD>(value->bytes.size());
  if (data != nullptr) {
    if (*size < length) {
      *size = length;
      return ERROR_MORE_DATA;
    }
    std::memcpy(data, value->bytes.data(), length);
  }
  if (size) *size = length;
  return ERROR_SUCCESS;
}

LONG SimMachine::RegQueryInfoKeyA(HKEY key, char* keyClass, DWORD* classLength, DWORD* reserved,
                                  DWORD* subKeys, DWORD* maxSubKeyLength, DWORD* maxClassLength,
                                  DWORD* values, DWORD* maxValueNameLength, DWORD* maxValueLength,
                                  DWORD* securityDescriptorLength, FILETIME* lastWriteTime) {
  State& s = *state_;
  if (auto error = s.Record(
          "RegQueryInfoKeyA",
          JoinArgs({key, LogArg::Pointer(keyClass), LogArg::Pointer(classLength),
                    LogArg::Pointer(reserved), LogArg::Pointer(subKeys),
                    LogArg::Pointer(maxSubKeyLength), LogArg::Pointer(maxClassLength),
                    LogArg::Pointer(values), LogArg::Pointer(maxValueNameLength),
                    LogArg::Pointer(maxValueLength), LogArg::Pointer(securityDescriptorLength),
                    LogArg::Pointer(lastWriteTime)}))) {
    return static_cast<LONG>(*error);
  }
  if (reserved != nullptr || (keyClass != nullptr && classLength == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  LONG error = 0;
  const std::shared_ptr<RegKey> target = KeyFor(s, key, KEY_QUERY_VALUE, &error);
  if (!target) return error;
  DWORD longestSubKey = 0;
  for (const auto& [upper, subkey] : target->subkeys) {
    // Counted in characters (Unicode's), not in the bytes of the ANSI name.
    longestSubKey = std::max(longestSubKey, static_cast<DWORD>(s.CharacterCount(subkey->name)));
  }
  DWORD longestName = 0;
  DWORD longestData = 0;
  for (const auto& [name, value] : target->values) {
    longestName = std::max(longestName, static_cast<DWORD>(name.size()));
    longestData = std::max(longestData, static_cast<DWORD>(value.bytes.size()));
  }
  if (keyClass != nullptr && *classLength > 0) keyClass[0] = '\0';
  if (classLength) *classLength = 0;
  if (subKeys) *subKeys = static_cast<DWORD>(target->subkeys.size());
  if (maxSubKeyLength) *maxSubKeyLength = longestSubKey;
  if (maxClassLength) *maxClassLength = 0;
  if (values) *values = static_cast<DWORD>(target->values.size());
  if (maxValueNameLength) *maxValueNameLength = longestName;
  if (maxValueLength) *maxValueLength = longestData;
  if (securityDescriptorLength) *securityDescriptorLength = 20 + static_cast<DWORD>(target->daclBytes.size());
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG SimMachine::RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength,
                               DWORD* reserved, char* keyClass, DWORD* classLength,
                               FILETIME* lastWriteTime) {
  State& s = *state_;
  if (auto error = s.Record("RegEnumKeyExA",
                            JoinArgs({key, index, LogArg::Pointer(name), LogArg::Pointer(nameLength),
                                      LogArg::Pointer(reserved), LogArg::Pointer(keyClass),
                                      LogArg::Pointer(classLength), LogArg::Pointer(lastWriteTime)}))) {
    return static_cast<LONG>(*error);
  }
  if (name == nullptr || nameLength == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
  LONG error = 0;
  const std::shared_ptr<RegKey> target = KeyFor(s, key, KEY_ENUMERATE_SUB_KEYS, &error);
  if (!target) return error;
  if (index >= target->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  const RegKey& subkey = *std::next(target->subkeys.begin(), index)->second;
  // The name and its terminator must fit; otherwise nothing is copied and the
  // length is left as it was.
  if (subkey.name.size() + 1 > *nameLength) return ERROR_MORE_DATA;
  std::memcpy(name, subkey.name.c_str(), subkey.name.size() + 1);
  *nameLength = static_cast<DWORD>(subkey.name.size());
  if (keyClass != nullptr && classLength != nullptr && *classLength > 0) keyClass[0] = '\0';
  if (classLength) *classLength = 0;
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG SimMachine::RegDeleteKeyA(HKEY key, const char* subKey) {
  State& s = *state_;
  if (auto error = s.Record("RegDeleteKeyA", JoinArgs({key, subKey}))) {
    return static_cast<LONG>(*error);
  }
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  LONG error = 0;
  std::shared_ptr<RegKey> target = s.KeyOfHandle(key, &error);
  if (!target) return error;
  const std::optional<std::vector<std::string>> names = SplitKeyPath(subKey, !s.Is9x(), &error);
  if (!names) return error;
  for (const std::string& name : *names) {
    const auto it = target->subkeys.find(Upper(name));
    if (it == target->subkeys.end()) return ERROR_FILE_NOT_FOUND;
    target = it->second;
  }
  if (target->parent == nullptr) return ERROR_ACCESS_DENIED;  // a predefined root
  if (!s.Is9x()) {
    // The NT family deletes one key at a time, and only with DELETE access.
    if (!(s.AllowedAccess(*target) & DELETE)) return ERROR_ACCESS_DENIED;
    if (!target->subkeys.empty()) return ERROR_ACCESS_DENIED;
  }
  // The 9x family deletes the whole tree below the key.
  MarkDeleted(*target);
  target->parent->subkeys.erase(Upper(target->name));
  return ERROR_SUCCESS;
}

LONG SimMachine::RegDeleteValueA(HKEY key, const char* valueName) {
  State& s = *state_;
  if (auto error = s.Record("RegDeleteValueA", JoinArgs({key, valueName}))) {
    return static_cast<LONG>(*error);
  }
  LONG error = 0;
  const std::shared_ptr<RegKey> target = KeyFor(s, key, KEY_SET_VALUE, &error);
  if (!target) return error;
  const std::string name = valueName ? valueName : "";
  const auto value = std::find_if(target->values.begin(), target->values.end(),
                                  [&](const auto& entry) { return IEquals(entry.first, name); });
  if (value == target->values.end()) return ERROR_FILE_NOT_FOUND;
  target->values.erase(value);
  return ERROR_SUCCESS;
}

LONG SimMachine::RegCloseKey(HKEY key) {
  State& s = *state_;
  if (auto error = s.Record("RegCloseKey", JoinArgs({key}))) return static_cast<LONG>(*error);
  if (IsPredefined(key)) return ERROR_SUCCESS;
  return s.regHandles.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace korvanta::sim
