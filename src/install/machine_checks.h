// What the run asks of the machine before it changes anything: a 32-bit
// Windows, and on the NT family administrator rights.
#pragma once

#include "platform/platform_ops.h"

namespace korvanta {

inline constexpr char Wow64Message[] = "This software requires a 32-bit version of Windows !";
inline constexpr char AdministratorMessage[] = "Please run setup as an administrator !";

// Whether the process runs under WOW64, that is on 64-bit Windows. There the
// driver copy is redirected to SysWOW64, the 64-bit kernel cannot load a
// 32-bit driver, and devices cannot be installed at all. IsWow64Process is
// looked up in the system folder's kernel32: where it is missing (the 9x
// family, NT before XP SP2) or fails, the answer is no.
bool RunsUnderWow64(PlatformOps& ops);

enum class Membership { Member, NotMember, Unknown };

// Whether the process's token holds the Administrators group (S-1-5-32-544),
// enabled: through CheckTokenMembership (Windows 2000 and later), else
// through the token's groups (NT 4). Unknown when a function is missing or
// fails. For the NT family only.
Membership AdministratorsMembership(PlatformOps& ops);

}  // namespace korvanta
