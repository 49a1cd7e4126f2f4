// What the run asks of the machine before it changes anything: a 32-bit
// Windows, no compatibility mode, and on the NT family administrator rights;
// and whether anyone can see its boxes.
#pragma once

#include "platform/platform_ops.h"

namespace korvanta {

inline constexpr char Wow64Message[] = "This software requires a 32-bit version of Windows !";
inline constexpr char AdministratorMessage[] = "Please run setup as an administrator !";
inline constexpr char CompatibilityModeMessage[] =
    "Please run setup without a compatibility mode !";

// Whether the process runs under WOW64, that is on 64-bit Windows. There the
// driver copy is redirected to SysWOW64, the 64-bit kernel cannot load a
// 32-bit driver, and devices cannot be installed at all. IsWow64Process is
// looked up in the system folder's kernel32: where it is missing (the 9x
// family, NT before XP SP2) or fails, the answer is no.
bool RunsUnderWow64(PlatformOps& ops);

// Whether the process's environment names a compatibility layer
// (__COMPAT_LAYER, set to something). Asked only where GetVersionExA reports
// the 9x family: there it means an NT system (XP and later) under the
// "Windows 95" or "Windows 98 / Me" mode, which setup passes on to the
// programs it starts. A real Windows 9x has no compatibility layers. A
// variable that cannot be read counts as absent.
bool RunsUnderCompatibilityLayer(PlatformOps& ops);

// Whether the process's window station is shown to anyone. It is not for a
// process run as SYSTEM by a deployment tool or a scheduled task (session 0,
// a service's window station): a box there waits for an OK nobody can give.
// GetProcessWindowStation and GetUserObjectInformationA are looked up in the
// system folder's user32: where they are missing (the 9x family has no
// window stations) or fail, the answer is yes.
bool WindowStationVisible(PlatformOps& ops);

enum class Membership { Member, NotMember, Unknown };

// Whether the process's token holds the Administrators group (S-1-5-32-544),
// enabled: through CheckTokenMembership (Windows 2000 and later), else
// through the token's groups (NT 4). Unknown when a function is missing or
// fails. For the NT family only.
Membership AdministratorsMembership(PlatformOps& ops);

}  // namespace korvanta
