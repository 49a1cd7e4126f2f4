// Security identifiers and access lists, built byte for byte in the caller's
// memory as Windows lays them out, and the access lists of registry keys read
// and set by name (GetNamedSecurityInfoA, SetNamedSecurityInfoA).
// The 9x family has none of this: every call fails with
// ERROR_CALL_NOT_IMPLEMENTED there.
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "platform/sim/sim_state.h"

namespace korvanta::sim {

namespace {

constexpr BYTE kSidRevision = 1;
constexpr BYTE kMaxSubAuthorities = 15;
constexpr BYTE kAccessDeniedAceType = 1;
constexpr DWORD kAclHeaderSize = 8;
constexpr DWORD kAceHeaderAndMask = 8;
constexpr BYTE kWorldSid[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
constexpr BYTE kAdministratorsSid[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
constexpr BYTE kInheritOnlyAce = 0x08;
constexpr BYTE kNoPropagateInheritAce = 0x04;

// Little-endian field access that does not depend on the buffer's alignment.
WORD ReadWord(const BYTE* at) { return static_cast<WORD>(at[0] | (at[1] << 8)); }
DWORD ReadDword(const BYTE* at) {
  return static_cast<DWORD>(at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<DWORD>(at[3]) << 24));
}
void WriteWord(BYTE* at, WORD value) {
  at[0] = static_cast<BYTE>(value);
  at[1] = static_cast<BYTE>(value >> 8);
}
void WriteDword(BYTE* at, DWORD value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<BYTE>(value >> (8 * i));
}

// The length of a valid SID, or 0.
DWORD SidLength(const void* sid) {
  if (sid == nullptr) return 0;
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  if (bytes[0] != kSidRevision || bytes[1] > kMaxSubAuthorities) return 0;
  return 8 + 4 * DWORD{bytes[1]};
}

// Walks the entries of an access list; false when the list is malformed.
// `end` receives the offset just past the last entry.
bool WalkAcl(const BYTE* acl, DWORD* end) {
  const BYTE revision = acl[0];
  const DWORD size = ReadWord(acl + 2);
  if (revision < 2 || revision > 4 || size < kAclHeaderSize) return false;
  DWORD offset = kAclHeaderSize;
  for (WORD i = 0, count = ReadWord(acl + 4); i < count; ++i) {
    if (offset + 4 > size) return false;
    const WORD aceSize = ReadWord(acl + offset + 2);
    if (aceSize < 4 || offset + aceSize > size) return false;
    offset += aceSize;
  }
  *end = offset;
  return true;
}

bool Fail(SimMachine::State& s, DWORD error) {
  s.lastError = error;
  return false;
}

// The groups of the installer's token: Everyone, Users and Administrators
// (S-1-5-32-544) as the machine has it, each with its attributes.
std::vector<std::pair<std::string, DWORD>> TokenGroupSids(const SimMachine::State& s) {
  const auto builtin = [](BYTE rid0, BYTE rid1) {
    return std::string({1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, static_cast<char>(rid0),
                        static_cast<char>(rid1), 0, 0});
  };
  constexpr DWORD kEnabled = 0x7;  // mandatory, enabled by default, enabled
  std::vector<std::pair<std::string, DWORD>> groups = {
      {std::string(reinterpret_cast<const char*>(kWorldSid), 12), kEnabled},
      {builtin(0x21, 0x02), kEnabled}};
  if (s.administrators == AdministratorsGroup::Enabled) groups.push_back({builtin(0x20, 0x02), kEnabled});
  if (s.administrators == AdministratorsGroup::DenyOnly) {
    groups.push_back({builtin(0x20, 0x02), SE_GROUP_USE_FOR_DENY_ONLY});
  }
  return groups;
}

bool IsTokenHandle(const SimMachine::State& s, HANDLE token) {
  const auto it = s.processHandles.find(reinterpret_cast<uintptr_t>(token));
  return it != s.processHandles.end() && it->second == kTokenId;
}

}  // namespace

BOOL SimMachine::AllocateAndInitializeSid(SID_IDENTIFIER_AUTHORITY* authority,
                                          BYTE subAuthorityCount, DWORD sub0, DWORD sub1,
                                          DWORD sub2, DWORD sub3, DWORD sub4, DWORD sub5,
                                          DWORD sub6, DWORD sub7, PSID* sid) {
  State& s = *state_;
  if (auto error = s.Record("AllocateAndInitializeSid",
                            JoinArgs({LogArg::Pointer(authority), DWORD{subAuthorityCount}, sub0,
                                      sub1, sub2, sub3, sub4, sub5, sub6, sub7,
                                      LogArg::Pointer(sid)}))) {
    return Fail(s, *error);
  }
  if (s.Is9x()) return Fail(s, error::kCallNotImplemented);
  if (authority == nullptr || sid == nullptr) return Fail(s, ERROR_INVALID_PARAMETER);
  if (subAuthorityCount > 8) return Fail(s, error::kInvalidSid);
  const DWORD length = 8 + 4 * DWORD{subAuthorityCount};
  BYTE* bytes = static_cast<BYTE*>(AllocateSidBlock(s, length));
  if (bytes == nullptr) return Fail(s, ERROR_NOT_ENOUGH_MEMORY);
  bytes[0] = kSidRevision;
  bytes[1] = subAuthorityCount;
  std::memcpy(bytes + 2, authority->Value, 6);
  const DWORD subs[8] = {sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7};
  for (BYTE i = 0; i < subAuthorityCount; ++i) WriteDword(bytes + 8 + 4 * i, subs[i]);
  *sid = bytes;
  return TRUE;
}

PVOID SimMachine::FreeSid(PSID sid) {
  State& s = *state_;
  if (auto error = s.Record("FreeSid", JoinArgs({static_cast<const void*>(sid)}))) {
    s.lastError = *error;
    return sid;
  }
  // FreeSid returns null once the SID is released, the SID itself otherwise.
  return ReleaseSidBlock(s, sid) ? nullptr : sid;
}

DWORD SimMachine::GetLengthSid(PSID sid) {
  State& s = *state_;
  if (auto error = s.Record("GetLengthSid", JoinArgs({static_cast<const void*>(sid)}))) {
    s.lastError = *error;
    return 0;
  }
  const DWORD length = SidLength(sid);
  if (length == 0) s.lastError = error::kInvalidSid;
  return length;
}

BOOL SimMachine::InitializeAcl(ACL* acl, DWORD length, DWORD revision) {
  State& s = *state_;
  if (auto error = s.Record("InitializeAcl", JoinArgs({LogArg::Pointer(acl), length, revision}))) {
    return Fail(s, *error);
  }
  if (s.Is9x()) return Fail(s, error::kCallNotImplemented);
  if (acl == nullptr) return Fail(s, ERROR_INVALID_PARAMETER);
  if (length < kAclHeaderSize) return Fail(s, ERROR_INSUFFICIENT_BUFFER);
  if (length > 0xFFFF || revision < 2 || revision > 4) return Fail(s, ERROR_INVALID_PARAMETER);
  BYTE* bytes = reinterpret_cast<BYTE*>(acl);
  std::memset(bytes, 0, kAclHeaderSize);
  bytes[0] = static_cast<BYTE>(revision);
  WriteWord(bytes + 2, static_cast<WORD>(length));
  return TRUE;
}

BOOL SimMachine::AddAccessAllowedAce(ACL* acl, DWORD revision, DWORD accessMask, PSID sid) {
  State& s = *state_;
  if (auto error = s.Record("AddAccessAllowedAce",
                            JoinArgs({LogArg::Pointer(acl), revision, accessMask,
                                      static_cast<const void*>(sid)}))) {
    return Fail(s, *error);
  }
  if (s.Is9x()) return Fail(s, error::kCallNotImplemented);
  if (acl == nullptr) return Fail(s, ERROR_INVALID_PARAMETER);
  BYTE* bytes = reinterpret_cast<BYTE*>(acl);
  DWORD end = 0;
  if (!WalkAcl(bytes, &end)) return Fail(s, error::kInvalidAcl);
  if (revision < 2 || revision > 4) return Fail(s, error::kInvalidAcl);
  const DWORD sidLength = SidLength(sid);
  if (sidLength == 0) return Fail(s, error::kInvalidSid);
  const DWORD aceSize = kAceHeaderAndMask + sidLength;
  if (end + aceSize > ReadWord(bytes + 2)) return Fail(s, error::kAllottedSpaceExceeded);

  BYTE* ace = bytes + end;
  ace[0] = ACCESS_ALLOWED_ACE_TYPE;
  ace[1] = 0;
  WriteWord(ace + 2, static_cast<WORD>(aceSize));
  WriteDword(ace + 4, accessMask);
  std::memcpy(ace + 8, sid, sidLength);
  WriteWord(bytes + 4, static_cast<WORD>(ReadWord(bytes + 4) + 1));
  if (bytes[0] < revision) bytes[0] = static_cast<BYTE>(revision);
  return TRUE;
}

BOOL SimMachine::GetAce(ACL* acl, DWORD index, LPVOID* ace) {
  State& s = *state_;
  if (auto error = s.Record("GetAce", JoinArgs({LogArg::Pointer(acl), index, LogArg::Pointer(ace)}))) {
    return Fail(s, *error);
  }
  if (s.Is9x()) return Fail(s, error::kCallNotImplemented);
  if (acl == nullptr || ace == nullptr) return Fail(s, ERROR_INVALID_PARAMETER);
  BYTE* bytes = reinterpret_cast<BYTE*>(acl);
  DWORD end = 0;
  if (!WalkAcl(bytes, &end)) return Fail(s, error::kInvalidAcl);
  if (index >= ReadWord(bytes + 4)) return Fail(s, ERROR_INVALID_PARAMETER);
  DWORD offset = kAclHeaderSize;
  for (DWORD i = 0; i < index; ++i) offset += ReadWord(bytes + offset + 2);
  *ace = bytes + offset;
  return TRUE;
}

namespace {

// The key a registry object name ("MACHINE\\SOFTWARE\\...") names, or null
// with the error SetNamedSecurityInfoA and GetNamedSecurityInfoA report.
std::shared_ptr<RegKey> ObjectKey(const SimMachine::State& s, const char* objectName, SE_OBJECT_TYPE type,
                                  DWORD* error) {
  *error = ERROR_INVALID_PARAMETER;
  if (objectName == nullptr || type != SE_REGISTRY_KEY) return nullptr;
  // Registry object names begin with the root's name.
  static const struct {
    const char* prefix;
    HKEY root;
  } kRoots[] = {{"CLASSES_ROOT", HKEY_CLASSES_ROOT},
                {"CURRENT_USER", HKEY_CURRENT_USER},
                {"MACHINE", HKEY_LOCAL_MACHINE},
                {"USERS", HKEY_USERS}};
  const std::string_view name(objectName);
  const size_t slash = name.find('\\');
  const std::string_view rootName = name.substr(0, slash);
  std::shared_ptr<RegKey> key;
  for (const auto& root : kRoots) {
    if (IEquals(rootName, root.prefix)) key = s.RootKey(root.root);
  }
  if (!key) return nullptr;
  LONG splitError = 0;
  const std::optional<std::vector<std::string>> names =
      SplitKeyPath(slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1),
                   true, &splitError);
  if (!names) {
    *error = static_cast<DWORD>(splitError);
    return nullptr;
  }
  for (const std::string& part : *names) {
    const auto it = key->subkeys.find(Upper(part));
    if (it == key->subkeys.end()) {
      *error = ERROR_FILE_NOT_FOUND;
      return nullptr;
    }
    key = it->second;
  }
  return key;
}

// Gives a key the list `bytes` (null: no list, everyone may do everything);
// false when the list is malformed.
bool PutDacl(RegKey& key, const BYTE* bytes) {
  if (bytes == nullptr) {
    key.dacl.reset();
    key.daclBytes.clear();
    return true;
  }
  DWORD end = 0;
  if (!WalkAcl(bytes, &end)) return false;
  std::vector<AceRecord> entries;
  for (DWORD offset = kAclHeaderSize; offset < end; offset += ReadWord(bytes + offset + 2)) {
    const BYTE aceType = bytes[offset];
    if (aceType != ACCESS_ALLOWED_ACE_TYPE && aceType != kAccessDeniedAceType) continue;
    const WORD aceSize = ReadWord(bytes + offset + 2);
    const auto names = [&](const BYTE* sid, size_t length) {
      return aceSize == kAceHeaderAndMask + length &&
             std::memcmp(bytes + offset + 8, sid, length) == 0;
    };
    Trustee trustee = Trustee::Other;
    if (names(kWorldSid, sizeof kWorldSid)) trustee = Trustee::Everyone;
    if (names(kAdministratorsSid, sizeof kAdministratorsSid)) trustee = Trustee::Administrators;
    entries.push_back({aceType == ACCESS_ALLOWED_ACE_TYPE, bytes[offset + 1],
                       ReadDword(bytes + offset + 4), trustee});
  }
  key.dacl = entries;
  key.daclBytes.assign(reinterpret_cast<const char*>(bytes), ReadWord(bytes + 2));
  return true;
}

}  // namespace

void SimMachine::State::InheritOnCreate(RegKey& child) const {
  const RegKey* parent = child.parent;
  while (parent != nullptr && !parent->dacl) parent = parent->parent;
  if (parent == nullptr) return;
  // The entries meant for keys below, as entries of the key's own: an entry
  // that goes no further than one level stops here.
  const BYTE* from = reinterpret_cast<const BYTE*>(parent->daclBytes.data());
  DWORD end = 0;
  if (!WalkAcl(from, &end)) return;
  std::string list(reinterpret_cast<const char*>(from), kAclHeaderSize);
  WORD count = 0;
  for (DWORD offset = kAclHeaderSize; offset < end; offset += ReadWord(from + offset + 2)) {
    BYTE flags = from[offset + 1];
    if (!(flags & CONTAINER_INHERIT_ACE)) continue;
    flags &= static_cast<BYTE>(~kInheritOnlyAce);
    if (flags & kNoPropagateInheritAce) flags = 0;
    std::string entry(reinterpret_cast<const char*>(from + offset), ReadWord(from + offset + 2));
    entry[1] = static_cast<char>(flags);
    list += entry;
    ++count;
  }
  BYTE* header = reinterpret_cast<BYTE*>(list.data());
  WriteWord(header + 2, static_cast<WORD>(list.size()));
  WriteWord(header + 4, count);
  PutDacl(child, header);
}

REGSAM SimMachine::RegistryAccessOfOthers(HKEY root, const std::string& path) const {
  const std::shared_ptr<RegKey> rootKey = state_->RootKey(root);
  const std::shared_ptr<RegKey> key = rootKey ? state_->WalkKey(rootKey, path) : nullptr;
  if (!key) throw std::invalid_argument("SimMachine: no such key: " + path);
  return state_->AllowedAccess(*key, false);
}

void SimMachine::SetRegistryKeySecurity(HKEY root, const std::string& path, const KeySecurity& security) {
  AddRegistryKey(root, path);
  RegKey& key = *state_->WalkKey(state_->RootKey(root), path);
  const std::optional<std::string>& list = security.dacl;
  const BYTE* bytes = list ? reinterpret_cast<const BYTE*>(list->data()) : nullptr;
  if (list && (list->size() < kAclHeaderSize || ReadWord(bytes + 2) > list->size())) {
    throw std::invalid_argument("SimMachine: an access list shorter than its header says");
  }
  if (!PutDacl(key, bytes)) throw std::invalid_argument("SimMachine: not a valid access list");
  key.daclProtected = security.isProtected;
}

KeySecurity SimMachine::RegistryKeySecurity(HKEY root, const std::string& path) const {
  const std::shared_ptr<RegKey> rootKey = state_->RootKey(root);
  const std::shared_ptr<RegKey> key = rootKey ? state_->WalkKey(rootKey, path) : nullptr;
  if (!key) throw std::invalid_argument("SimMachine: no such key: " + path);
  KeySecurity security;
  if (key->dacl) security.dacl = key->daclBytes;
  security.isProtected = key->daclProtected;
  return security;
}

DWORD SimMachine::GetNamedSecurityInfoA(FARPROC proc, const char* objectName, SE_OBJECT_TYPE type,
                                        SECURITY_INFORMATION info, PSID* owner, PSID* group, ACL** dacl,
                                        ACL** sacl, PSECURITY_DESCRIPTOR* descriptor) {
  State& s = *state_;
  if (auto error = s.Record("GetNamedSecurityInfoA",
                            JoinArgs({proc, objectName, DWORD{type}, info, LogArg::Pointer(owner),
                                      LogArg::Pointer(group), LogArg::Pointer(dacl), LogArg::Pointer(sacl),
                                      LogArg::Pointer(descriptor)}))) {
    return *error;
  }
  if (!s.CheckProc(proc, "advapi32.dll", "GetNamedSecurityInfoA")) return ERROR_PROC_NOT_FOUND;
  if (s.Is9x()) return error::kCallNotImplemented;
  if (descriptor == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD error = 0;
  const std::shared_ptr<RegKey> key = ObjectKey(s, objectName, type, &error);
  if (!key) return error;
  if (key->denied & READ_CONTROL) return ERROR_ACCESS_DENIED;

  // A self-relative descriptor: the 20-byte header, then the list. Owner,
  // group and system list are not modelled and read as absent.
  const bool withDacl = (info & DACL_SECURITY_INFORMATION) != 0;
  const std::string list = withDacl && key->dacl ? key->daclBytes : std::string();
  BYTE* block = static_cast<BYTE*>(AllocateLocalBlock(s, 20 + list.size()));
  if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  WORD control = SE_SELF_RELATIVE;
  if (withDacl) control |= SE_DACL_PRESENT | (key->daclProtected ? SE_DACL_PROTECTED : 0);
  block[0] = 1;  // SECURITY_DESCRIPTOR_REVISION
  WriteWord(block + 2, control);
  if (!list.empty()) {
    WriteDword(block + 16, 20);
    std::memcpy(block + 20, list.data(), list.size());
  }
  if (owner) *owner = nullptr;
  if (group) *group = nullptr;
  if (sacl) *sacl = nullptr;
  if (dacl) *dacl = list.empty() ? nullptr : reinterpret_cast<ACL*>(block + 20);
  *descriptor = block;
  return ERROR_SUCCESS;
}

DWORD SimMachine::SetNamedSecurityInfoA(FARPROC proc, const char* objectName, SE_OBJECT_TYPE type,
                                        SECURITY_INFORMATION info, PSID owner, PSID group,
                                        ACL* dacl, ACL* sacl) {
  State& s = *state_;
  if (auto error = s.Record("SetNamedSecurityInfoA",
                            JoinArgs({proc, objectName, DWORD{type}, info,
                                      static_cast<const void*>(owner), static_cast<const void*>(group),
                                      LogArg::Pointer(dacl), LogArg::Pointer(sacl)}))) {
    return *error;
  }
  if (!s.CheckProc(proc, "advapi32.dll", "SetNamedSecurityInfoA")) return ERROR_PROC_NOT_FOUND;
  if (s.Is9x()) return error::kCallNotImplemented;
  DWORD error = 0;
  const std::shared_ptr<RegKey> key = ObjectKey(s, objectName, type, &error);
  if (!key) return error;
  if (!(info & DACL_SECURITY_INFORMATION)) return ERROR_SUCCESS;
  if (key->denied & WRITE_DAC) return ERROR_ACCESS_DENIED;

  // A null list grants everyone everything.
  if (!PutDacl(*key, reinterpret_cast<const BYTE*>(dacl))) return error::kInvalidAcl;
  // Without either flag the key keeps its protection.
  if (info & PROTECTED_DACL_SECURITY_INFORMATION) key->daclProtected = true;
  if (info & UNPROTECTED_DACL_SECURITY_INFORMATION) key->daclProtected = false;
  s.appliedDacls[objectName] = key->daclBytes;
  return ERROR_SUCCESS;
}

// ---- the installer's token ------------------------------------------------------

BOOL SimMachine::CheckTokenMembership(FARPROC proc, HANDLE token, PSID sid, BOOL* isMember) {
  State& s = *state_;
  if (auto error = s.Record("CheckTokenMembership",
                            JoinArgs({proc, token, static_cast<const void*>(sid),
                                      LogArg::Pointer(isMember)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "advapi32.dll", "CheckTokenMembership")) return Fail(s, ERROR_PROC_NOT_FOUND);
  if (token != nullptr && !IsTokenHandle(s, token)) return Fail(s, ERROR_INVALID_HANDLE);
  const DWORD length = SidLength(sid);
  if (length == 0 || isMember == nullptr) return Fail(s, ERROR_INVALID_PARAMETER);
  const std::string wanted(static_cast<const char*>(sid), length);
  // A deny-only group is no membership.
  *isMember = FALSE;
  for (const auto& [group, attributes] : TokenGroupSids(s)) {
    if (group == wanted && (attributes & SE_GROUP_ENABLED)) *isMember = TRUE;
  }
  return TRUE;
}

BOOL SimMachine::OpenProcessToken(FARPROC proc, HANDLE process, DWORD access, HANDLE* token) {
  State& s = *state_;
  if (auto error = s.Record("OpenProcessToken",
                            JoinArgs({proc, process, access, LogArg::Pointer(token)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "advapi32.dll", "OpenProcessToken")) return Fail(s, ERROR_PROC_NOT_FOUND);
  if (process != kCurrentProcess) return Fail(s, ERROR_INVALID_HANDLE);
  if (token == nullptr) return Fail(s, error::kNoAccess);
  const uintptr_t handle = s.NewHandleValue();
  s.processHandles[handle] = kTokenId;
  *token = reinterpret_cast<HANDLE>(handle);
  return TRUE;
}

BOOL SimMachine::GetTokenInformation(FARPROC proc, HANDLE token, TOKEN_INFORMATION_CLASS infoClass,
                                     LPVOID info, DWORD length, DWORD* returnLength) {
  State& s = *state_;
  if (auto error = s.Record("GetTokenInformation",
                            JoinArgs({proc, token, DWORD{infoClass}, LogArg::Pointer(info), length,
                                      LogArg::Pointer(returnLength)}))) {
    return Fail(s, *error);
  }
  if (!s.CheckProc(proc, "advapi32.dll", "GetTokenInformation")) return Fail(s, ERROR_PROC_NOT_FOUND);
  if (!IsTokenHandle(s, token)) return Fail(s, ERROR_INVALID_HANDLE);
  if (infoClass != TokenGroups || returnLength == nullptr) return Fail(s, ERROR_INVALID_PARAMETER);
  // The list, then the SIDs it points to, in the caller's buffer.
  const std::vector<std::pair<std::string, DWORD>> sids = TokenGroupSids(s);
  const size_t listSize = offsetof(TOKEN_GROUPS, Groups) + sids.size() * sizeof(SID_AND_ATTRIBUTES);
  size_t needed = listSize;
  for (const auto& [sid, attributes] : sids) needed += sid.size();
  *returnLength = static_cast<DWORD>(needed);
  if (info == nullptr || length < needed) return Fail(s, ERROR_INSUFFICIENT_BUFFER);
  BYTE* bytes = static_cast<BYTE*>(info);
  TOKEN_GROUPS* groups = static_cast<TOKEN_GROUPS*>(info);
  groups->GroupCount = static_cast<DWORD>(sids.size());
  size_t offset = listSize;
  for (size_t i = 0; i < sids.size(); ++i) {
    const auto& [sid, attributes] = sids[i];
    std::memcpy(bytes + offset, sid.data(), sid.size());
    SID_AND_ATTRIBUTES* entry = &groups->Groups[0] + i;
    entry->Sid = bytes + offset;
    entry->Attributes = attributes;
    offset += sid.size();
  }
  return TRUE;
}

}  // namespace korvanta::sim
