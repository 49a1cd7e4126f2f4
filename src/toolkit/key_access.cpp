#include "toolkit/key_access.h"

#include <cstring>

#include "toolkit/registry_writers.h"
#include "toolkit/run_time_library.h"
#include "toolkit/scoped_handle.h"

namespace korvanta {
namespace {

// The library the named-object security functions live in. It is loaded for
// each call and freed again: the installer holds nothing between calls.
constexpr char SecurityLibrary[] = "advapi32.dll";

// Where the entries of a kept list end, and where its explicit ones do: they
// come first in a list Windows wrote, the inherited ones after them.
struct KeptEntries {
  WORD count;
  WORD explicitCount;
  size_t explicitEnd;
  size_t end;
};

std::optional<KeptEntries> WalkKeptEntries(const std::vector<BYTE>& list) {
  if (list.size() < sizeof(ACL)) return std::nullopt;
  KeptEntries entries{reinterpret_cast<const ACL*>(list.data())->AceCount, 0, sizeof(ACL),
                      sizeof(ACL)};
  for (WORD i = 0; i < entries.count; ++i) {
    if (entries.end + sizeof(ACE_HEADER) > list.size()) return std::nullopt;
    const auto* header = reinterpret_cast<const ACE_HEADER*>(list.data() + entries.end);
    if (header->AceSize < sizeof(ACE_HEADER) || entries.end + header->AceSize > list.size()) {
      return std::nullopt;
    }
    entries.end += header->AceSize;
    if (!(header->AceFlags & INHERITED_ACE) && entries.explicitCount == i) {
      entries.explicitEnd = entries.end;
      ++entries.explicitCount;
    }
  }
  return entries;
}

}  // namespace

ScopedSid AllocateAdministratorsSid(PlatformOps& ops) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  ScopedSid administrators(ops);
  if (!ops.AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                    0, 0, 0, 0, 0, 0, administrators.Receive())) {
    return ScopedSid(ops);
  }
  return administrators;
}

std::string RegistryObjectName(HKEY root, const std::string& subKey) {
  static const struct {
    HKEY root;
    const char* prefix;
  } Prefixes[] = {
      {HKEY_CLASSES_ROOT, "CLASSES_ROOT\\"},
      {HKEY_CURRENT_USER, "CURRENT_USER\\"},
      {HKEY_LOCAL_MACHINE, "MACHINE\\"},
      {HKEY_USERS, "USERS\\"},
  };
  for (const auto& entry : Prefixes) {
    if (entry.root == root) return entry.prefix + subKey;
  }
  return subKey;
}

bool GrantRegistryKeyAccess(PlatformOps& ops, HKEY root, const std::string& subKey,
                            DWORD accessMask, const SavedKeySecurity& kept) {
  // A key without a list lets everyone do everything already.
  if (!kept.hasList) return true;
  const std::optional<KeptEntries> entries = WalkKeptEntries(kept.list);
  if (!entries) return false;
  const BYTE* keptBytes = kept.list.data();
  const auto [count, explicitCount, explicitEnd, end] = *entries;

  const auto advapi = LoadRunTimeFunctions<1>(ops, SecurityLibrary, {"SetNamedSecurityInfoA"});
  if (!advapi.AllFound()) return false;
  const FARPROC setSecurity = advapi.address[0];
  const std::string objectName = RegistryObjectName(root, subKey);

  const ScopedSid administrators = AllocateAdministratorsSid(ops);
  if (!administrators) return false;
  // The kept list grown by one allowed entry: its header and mask (8) and
  // the SID (16).
  const DWORD listSize = static_cast<DWORD>(end) + 8 + ops.GetLengthSid(administrators.Get());
  std::vector<BYTE> buffer(listSize, 0);
  ACL* list = reinterpret_cast<ACL*>(buffer.data());
  // A list of a later revision (object entries) stays of that revision.
  const BYTE revision = keptBytes[0] > ACL_REVISION ? keptBytes[0] : BYTE{ACL_REVISION};
  if (!ops.InitializeAcl(list, listSize, revision)) return false;
  // The new entry goes after the explicit entries, before the inherited
  // ones, where Windows keeps an explicit entry: AddAccessAllowedAce
  // appends to the entries the list holds.
  std::memcpy(buffer.data() + sizeof(ACL), keptBytes + sizeof(ACL), explicitEnd - sizeof(ACL));
  list->AceCount = explicitCount;
  if (!ops.AddAccessAllowedAce(list, ACL_REVISION, accessMask, administrators.Get())) return false;
  LPVOID entry = nullptr;
  if (!ops.GetAce(list, explicitCount, &entry)) return false;
  // AddAccessAllowedAce writes no inheritance flags; the keys below must get
  // the entry too.
  static_cast<ACE_HEADER*>(entry)->AceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  const size_t inheritedAt = explicitEnd + (listSize - end);
  std::memcpy(buffer.data() + inheritedAt, keptBytes + explicitEnd, end - explicitEnd);
  list->AceCount = static_cast<WORD>(count + 1);
  return ops.SetNamedSecurityInfoA(setSecurity, objectName.c_str(), SE_REGISTRY_KEY,
                                   DACL_SECURITY_INFORMATION, nullptr, nullptr, list,
                                   nullptr) == ERROR_SUCCESS;
}

std::optional<SavedKeySecurity> ReadRegistryKeySecurity(PlatformOps& ops, HKEY root,
                                                        const std::string& subKey) {
  const auto advapi = LoadRunTimeFunctions<1>(ops, SecurityLibrary, {"GetNamedSecurityInfoA"});
  if (!advapi.AllFound()) return std::nullopt;
  const FARPROC getSecurity = advapi.address[0];
  const std::string objectName = RegistryObjectName(root, subKey);

  ACL* list = nullptr;
  PSECURITY_DESCRIPTOR received = nullptr;
  const DWORD result =
      ops.GetNamedSecurityInfoA(getSecurity, objectName.c_str(), SE_REGISTRY_KEY,
                                DACL_SECURITY_INFORMATION, nullptr, nullptr, &list, nullptr,
                                &received);
  ScopedLocalMemory descriptor(ops, received);
  if (result != ERROR_SUCCESS || !descriptor) return std::nullopt;

  // The control word sits at the same place in every form of a descriptor,
  // right after the revision bytes; reading it there spares an import that
  // the 9x family's advapi32 may lack.
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  std::memcpy(&control, static_cast<const BYTE*>(descriptor.Get()) + 2, sizeof control);
  SavedKeySecurity saved;
  saved.isProtected = (control & SE_DACL_PROTECTED) != 0;
  if (!(control & SE_DACL_PRESENT) || list == nullptr) {
    saved.hasList = false;
    return saved;
  }
  const BYTE* bytes = reinterpret_cast<const BYTE*>(list);
  if (list->AclSize < sizeof(ACL)) return std::nullopt;  // not a list anyone could put back
  saved.list.assign(bytes, bytes + list->AclSize);
  return saved;
}

bool RestoreRegistryKeySecurity(PlatformOps& ops, HKEY root, const std::string& subKey,
                                const SavedKeySecurity& saved, bool stateProtection) {
  const auto advapi = LoadRunTimeFunctions<1>(ops, SecurityLibrary, {"SetNamedSecurityInfoA"});
  if (!advapi.AllFound()) return false;
  const FARPROC setSecurity = advapi.address[0];
  const std::string objectName = RegistryObjectName(root, subKey);

  // The protection is stated either way: without it, the call would leave the
  // key as protected or unprotected as it is now, not as it was.
  SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION;
  if (stateProtection) {
    info |= saved.isProtected ? PROTECTED_DACL_SECURITY_INFORMATION
                              : UNPROTECTED_DACL_SECURITY_INFORMATION;
  }
  std::vector<BYTE> list = saved.list;  // the function takes a writable list
  return ops.SetNamedSecurityInfoA(setSecurity, objectName.c_str(), SE_REGISTRY_KEY, info,
                                   nullptr, nullptr,
                                   saved.hasList ? reinterpret_cast<ACL*>(list.data()) : nullptr,
                                   nullptr) == ERROR_SUCCESS;
}

namespace {

constexpr BYTE KeptProtected = 1;
constexpr BYTE KeptHasList = 2;

// An ACL's size field counts it whole; no list is larger than 64 KiB.
constexpr DWORD LargestKeptCopy = 1 + 0xFFFF;

}  // namespace

std::optional<SavedKeySecurity> ReadKeptKeySecurity(PlatformOps& ops,
                                                    const KeptSecurityPlace& place) {
  HKEY opened = nullptr;
  if (ops.RegOpenKeyExA(place.root, place.keyPath, 0, KEY_QUERY_VALUE, &opened) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  ScopedRegKey key(ops, opened);
  std::vector<BYTE> bytes(LargestKeptCopy);
  DWORD type = REG_NONE;
  DWORD size = LargestKeptCopy;
  if (ops.RegQueryValueExA(key.Get(), place.valueName, nullptr, &type, bytes.data(), &size) !=
          ERROR_SUCCESS ||
      type != REG_BINARY || size < 1 || size > bytes.size()) {
    return std::nullopt;
  }
  SavedKeySecurity saved;
  saved.isProtected = (bytes[0] & KeptProtected) != 0;
  saved.hasList = (bytes[0] & KeptHasList) != 0;
  saved.list.assign(bytes.begin() + 1, bytes.begin() + size);
  if (!saved.hasList) return saved.list.empty() ? std::optional(saved) : std::nullopt;
  // Only a list whose own size is the copy's, and whose entries fit it, can
  // be put back.
  if (saved.list.size() < sizeof(ACL) ||
      reinterpret_cast<const ACL*>(saved.list.data())->AclSize != saved.list.size() ||
      !WalkKeptEntries(saved.list)) {
    return std::nullopt;
  }
  return saved;
}

void KeepKeySecurity(PlatformOps& ops, const KeptSecurityPlace& place,
                     const SavedKeySecurity& saved) {
  std::vector<BYTE> bytes;
  bytes.push_back(static_cast<BYTE>((saved.isProtected ? KeptProtected : 0) |
                                    (saved.hasList ? KeptHasList : 0)));
  if (saved.hasList) bytes.insert(bytes.end(), saved.list.begin(), saved.list.end());
  RegWriteBinary(ops, place.root, place.keyPath, place.valueName,
                 static_cast<DWORD>(bytes.size()), bytes.data());
}

KeySecurityRestorer::~KeySecurityRestorer() {
  if (!saved_) return;
  for (const bool stateProtection : {true, false}) {
    // The stage may be on its way out with an exception of its own: nothing
    // of the restore may leave the destructor.
    try {
      if (!RestoreRegistryKeySecurity(ops_, root_, subKey_, *saved_, stateProtection)) continue;
      if (kept_) {
        HKEY opened = nullptr;
        if (ops_.RegOpenKeyExA(kept_->root, kept_->keyPath, 0, KEY_SET_VALUE, &opened) ==
            ERROR_SUCCESS) {
          ScopedRegKey key(ops_, opened);
          ops_.RegDeleteValueA(key.Get(), kept_->valueName);
        }
      }
      return;
    } catch (...) {
    }
  }
}

}  // namespace korvanta
