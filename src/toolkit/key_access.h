// The access list (DACL) of a registry key: widened for the Administrators
// group, and read and put back as it was. The security functions are looked
// up in advapi32.dll on every call: the 9x family has none that work, and
// looking them up keeps the executable loadable there.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform_ops.h"
#include "toolkit/scoped_handle.h"

namespace korvanta {

// The Administrators group's SID (S-1-5-32-544), or none when it cannot be
// made.
ScopedSid AllocateAdministratorsSid(PlatformOps& ops);

// The name the named-object security functions know the key by: the root's
// prefix ("MACHINE\" for HKEY_LOCAL_MACHINE, and so on) followed by the
// sub-key path exactly as given, a trailing backslash included. A root
// outside the four predefined ones adds no prefix.
std::string RegistryObjectName(HKEY root, const std::string& subKey);

// A key's access list and protection state as read, kept as a copy of its
// own so that it outlives the descriptor it was read from.
struct SavedKeySecurity {
  bool hasList = true;       // false: the key had no list (everyone may do everything)
  std::vector<BYTE> list;    // the ACL, exactly its AclSize bytes
  bool isProtected = false;  // the list takes no entries from the keys above
};

// Sets the key's access list to `kept` (as ReadRegistryKeySecurity read it)
// with one more entry, allowing the Administrators group (S-1-5-32-544)
// `accessMask` and inherited by the keys below (object and container
// inherit), placed after the explicit entries. Everyone else keeps exactly
// the access the kept entries give, also on NT 4, where the list set is all
// the key has. Only the list is set: owner, group and system list stay, and
// so does the list's protection against inheritance. A key that had no list
// (everyone may do everything) is not touched, and true is returned.
// Otherwise true exactly when SetNamedSecurityInfoA returned ERROR_SUCCESS.
// Shows nothing; a failure before that call leaves the key untouched.
bool GrantRegistryKeyAccess(PlatformOps& ops, HKEY root, const std::string& subKey,
                            DWORD accessMask, const SavedKeySecurity& kept);

// Reads the key's access list and protection state; nothing when they cannot
// be read (advapi32.dll or the function missing, the key missing, reading
// refused).
std::optional<SavedKeySecurity> ReadRegistryKeySecurity(PlatformOps& ops, HKEY root,
                                                        const std::string& subKey);

// Puts back what ReadRegistryKeySecurity read, protection state included
// unless `stateProtection` is false: entries the list inherited come back
// from the keys above as before. Without the protection flags only the list
// is set, which every NT version understands (NT 4 does not know the flags).
// True exactly when SetNamedSecurityInfoA returned ERROR_SUCCESS.
bool RestoreRegistryKeySecurity(PlatformOps& ops, HKEY root, const std::string& subKey,
                                const SavedKeySecurity& saved, bool stateProtection = true);

// A REG_BINARY value that keeps a key's access list, as read before a grant
// widened it, for as long as the grant stands: a run that is stopped before
// it puts the list back (the power fails, the task manager ends it) leaves
// the copy, and the next run takes the list from it rather than the widened
// list it would read from the key. Its bytes: one byte of flags (1: the list
// is protected, 2: the key has a list), then the list.
struct KeptSecurityPlace {
  HKEY root;
  const char* keyPath;
  const char* valueName;
};

// The kept copy; nothing when there is none or it is not a well-formed copy.
std::optional<SavedKeySecurity> ReadKeptKeySecurity(PlatformOps& ops,
                                                    const KeptSecurityPlace& place);
// Writes the copy, creating its key as needed. A failure is not reported: the
// grant then works as without a copy.
void KeepKeySecurity(PlatformOps& ops, const KeptSecurityPlace& place,
                     const SavedKeySecurity& saved);

// Puts a key's saved access list back when the scope ends, on every way out,
// exceptions included: a key left widened is widened with every key
// below it. A restore that fails is tried once more with the list alone,
// without the protection flags. Once the list is back, the kept copy (when a
// place is given) is removed; after a failed restore it stays for the next
// run. Does nothing when nothing was saved.
class KeySecurityRestorer {
 public:
  KeySecurityRestorer(PlatformOps& ops, HKEY root, std::string subKey,
                      std::optional<SavedKeySecurity> saved,
                      std::optional<KeptSecurityPlace> kept = std::nullopt)
      : ops_(ops),
        root_(root),
        subKey_(std::move(subKey)),
        saved_(std::move(saved)),
        kept_(kept) {}
  ~KeySecurityRestorer();
  KeySecurityRestorer(const KeySecurityRestorer&) = delete;
  KeySecurityRestorer& operator=(const KeySecurityRestorer&) = delete;

 private:
  PlatformOps& ops_;
  HKEY root_;
  std::string subKey_;
  std::optional<SavedKeySecurity> saved_;
  std::optional<KeptSecurityPlace> kept_;
};

}  // namespace korvanta
