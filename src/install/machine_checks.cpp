#include "install/machine_checks.h"

#include <cstddef>
#include <cstring>

#include "toolkit/key_access.h"
#include "toolkit/run_time_library.h"
#include "toolkit/scoped_handle.h"

namespace korvanta {

bool RunsUnderWow64(PlatformOps& ops) {
  const RunTimeFunctions<1> functions =
      LoadRunTimeFunctions<1>(ops, "kernel32.dll", {"IsWow64Process"});
  if (!functions.AllFound()) return false;
  BOOL wow64 = FALSE;
  return ops.IsWow64Process(functions.address[0], ops.GetCurrentProcess(), &wow64) && wow64;
}

bool RunsUnderCompatibilityLayer(PlatformOps& ops) {
  // Only whether it is set matters; an empty value is no layer. A value too
  // long for the buffer still answers with the size it needs.
  char layer[64];
  return ops.GetEnvironmentVariableA("__COMPAT_LAYER", layer, sizeof layer) != 0;
}

bool WindowStationVisible(PlatformOps& ops) {
  const RunTimeFunctions<2> functions = LoadRunTimeFunctions<2>(
      ops, "user32.dll", {"GetProcessWindowStation", "GetUserObjectInformationA"});
  if (!functions.AllFound()) return true;
  // The process's own handle: not closed.
  const HANDLE station = ops.GetProcessWindowStation(functions.address[0]);
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (station == nullptr || !ops.GetUserObjectInformationA(functions.address[1], station, UOI_FLAGS,
                                                           &flags, sizeof flags, &needed)) {
    return true;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

namespace {

// The SID's length from its own sub-authority count (byte 1).
size_t SidBytes(const void* sid) { return 8 + 4 * size_t{static_cast<const BYTE*>(sid)[1]}; }

// NT 4 has no CheckTokenMembership: the process token's groups are read and
// an enabled Administrators entry looked for. A deny-only entry (a
// restricted token) is not enabled.
Membership MembershipFromTokenGroups(PlatformOps& ops, FARPROC openProcessToken,
                                     FARPROC getTokenInformation, PSID administrators) {
  ScopedProcessHandle token(ops);
  if (!ops.OpenProcessToken(openProcessToken, ops.GetCurrentProcess(), TOKEN_QUERY,
                            token.Receive())) {
    return Membership::Unknown;
  }
  DWORD size = 0;
  if (ops.GetTokenInformation(getTokenInformation, token.Get(), TokenGroups, nullptr, 0, &size) ||
      ops.GetLastError() != ERROR_INSUFFICIENT_BUFFER || size < sizeof(TOKEN_GROUPS)) {
    return Membership::Unknown;
  }
  ScopedLocalMemory buffer(ops, ops.LocalAlloc(LPTR, size));
  if (!buffer || !ops.GetTokenInformation(getTokenInformation, token.Get(), TokenGroups,
                                          buffer.Get(), size, &size)) {
    return Membership::Unknown;
  }
  const TOKEN_GROUPS* groups = static_cast<const TOKEN_GROUPS*>(buffer.Get());
  // A count that the buffer cannot hold is not a list to walk.
  if (groups->GroupCount > (size - offsetof(TOKEN_GROUPS, Groups)) / sizeof(SID_AND_ATTRIBUTES)) {
    return Membership::Unknown;
  }
  const SID_AND_ATTRIBUTES* entries = groups->Groups;
  const size_t length = SidBytes(administrators);
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    if ((entries[i].Attributes & SE_GROUP_ENABLED) && entries[i].Sid != nullptr &&
        SidBytes(entries[i].Sid) == length &&
        std::memcmp(entries[i].Sid, administrators, length) == 0) {
      return Membership::Member;
    }
  }
  return Membership::NotMember;
}

}  // namespace

Membership AdministratorsMembership(PlatformOps& ops) {
  const ScopedSid administrators = AllocateAdministratorsSid(ops);
  if (!administrators) return Membership::Unknown;
  const RunTimeFunctions<3> functions = LoadRunTimeFunctions<3>(
      ops, "advapi32.dll", {"CheckTokenMembership", "OpenProcessToken", "GetTokenInformation"});
  if (functions.address[0] != nullptr) {
    BOOL member = FALSE;
    // A null token is the thread's own, or a copy of the process's.
    if (!ops.CheckTokenMembership(functions.address[0], nullptr, administrators.Get(), &member)) {
      return Membership::Unknown;
    }
    return member ? Membership::Member : Membership::NotMember;
  }
  if (functions.address[1] == nullptr || functions.address[2] == nullptr) {
    return Membership::Unknown;
  }
  return MembershipFromTokenGroups(ops, functions.address[1], functions.address[2],
                                   administrators.Get());
}

}  // namespace korvanta
