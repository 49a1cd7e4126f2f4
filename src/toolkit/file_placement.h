// The small file operations every component installer is built from: joining
// paths, the existence test, clearing a target's read-only attribute, a copy
// that reports its failure, and replacing a file that may be in use at the
// next restart.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform_ops.h"
#include "toolkit/platform.h"

namespace korvanta {

// The capital of an ASCII letter; every other byte as it is. No locale's rules
// (the Turkish dotless i) decide how a path or program name compares.
inline char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}

// Whether two texts are equal when ASCII letters are read as capitals.
inline bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

// The position of the last of `separators` in `text`, std::string::npos when
// there is none. Under a double-byte ANSI code page the second byte of a
// double-byte character is never a separator, even where its value is "\".
size_t FindLastSeparator(PlatformOps& ops, const std::string& text, const char* separators);

// The part of a path after its last "\" or ":"; the whole path when it holds
// neither. The second byte of a double-byte character is no separator.
std::string FileNamePart(PlatformOps& ops, const std::string& path);

// The part of a path up to and including its last "\" or ":", read the same
// way.
std::string DirectoryPart(PlatformOps& ops, const std::string& path);

// include: the path with a "\" appended unless it already ends in one.
// exclude: the path with one trailing "\" dropped, if it has one.
// An empty path stays empty either way. A final byte that is the second byte
// of a double-byte character is part of that character, not a backslash.
std::string AdjustTrailingBackslash(PlatformOps& ops, const std::string& path, bool include);

// True when a file (not a folder) of that name exists.
bool FileExists(PlatformOps& ops, const std::string& path);

// A file with any of `bits` set gets them cleared and the archive bit set; its
// other attributes stay. A missing file, a folder or a file with none of them
// is left alone. A failure is not reported: the copy that follows fails and
// says so.
void ClearAttributes(PlatformOps& ops, const std::string& path, DWORD bits);

// ClearAttributes for the read-only bit.
void ClearReadOnly(PlatformOps& ops, const std::string& path);

// Copies source over target: first the read-only, hidden and system bits of
// an existing target are cleared (ClearAttributes), since a copy onto a file
// with them fails; after a successful copy the new file's read-only bit is
// cleared the way ClearReadOnly does. True when the copy succeeded, whether
// or not a bit could be cleared.
bool CopyWritable(PlatformOps& ops, const std::string& source, const std::string& target);

// When the source exists: copy over the target (CopyWritable) and show
// `failureMessage` when the copy fails. A target in use (a sharing
// violation, or access denied to a target that is not read-only) is not
// reported: the source is staged beside it, its name's last letter dropped,
// and replaces it at the next restart (ScheduleReplace); only a staging copy
// that fails too is reported. A missing source does nothing and shows
// nothing.
void CopyAndReport(const Platform& platform, const std::string& source, const std::string& target,
                   const std::string& failureMessage);

// Has the staged file renamed onto the target at the next restart, after
// clearing the read-only bit of an existing target: a [RENAME] entry in
// Wininit.ini on the 9x family, both paths in their short form where the
// system reports one (a failed write ends the run), a delayed MoveFileExA on
// NT (its result is not looked at) unless that very rename is pending
// already, from an earlier run before the restart. Both paths are full
// paths; callers schedule only after the staged copy succeeded.
void ScheduleReplace(const Platform& platform, const std::string& target,
                     const std::string& staged);

// The short (8.3) form of an existing path; the path as given when the
// system cannot tell it.
std::string ShortPath(PlatformOps& ops, const std::string& path);

// NT family: whether the session manager holds a rename or deletion of
// `source` for the next restart (letter case aside); false when its list
// cannot be read.
bool IsRenamePendingFrom(PlatformOps& ops, const std::string& source);

// NT family: has the file deleted at the next restart (a delayed MoveFileExA
// with no new name), unless that deletion is pending already. True when it
// is pending now.
bool ScheduleDelete(PlatformOps& ops, const std::string& path);

}  // namespace korvanta
