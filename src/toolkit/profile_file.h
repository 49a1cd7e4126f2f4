// Editing the Windows profile (INI) files of the 9x family: single values
// through ProfileFile, and the rewrite of one section that disables a driver's
// static load entry.
//
// Files are named without a directory ("System.ini", "Wininit.ini"), so the
// operating system uses the file of that name in the Windows directory.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/platform_ops.h"

namespace korvanta {

// Holds nothing but the file name: every value goes to the operating system at
// the moment it is written, so one writer for several values and one writer per
// value leave the same files.
class ProfileFile {
 public:
  ProfileFile(PlatformOps& ops, std::string fileName);

  // Writes key=value into the section and has the file flushed to disk
  // (FlushProfileFile). A value that cannot be written raises
  // InstallerException("Exception", "Unable to write to <file name as passed>"),
  // which ends the run. Empty strings stay empty strings, never null pointers,
  // so a write can never delete a key or a section.
  void WriteValue(const std::string& section, const std::string& key, const std::string& value);

  const std::string& FileName() const { return fileName_; }

 private:
  PlatformOps& ops_;
  std::string fileName_;
};

// Has Windows write its cached copy of the profile file to disk; a write
// that is not flushed is lost on the 9x family when the power fails. The
// result is not looked at: Windows answers a flush with zero.
void FlushProfileFile(PlatformOps& ops, const std::string& fileName);

// Turns every entry that is exactly "device=<driverName>" (letter case
// included, nothing around it) into ";evice=<driverName>" in a section buffer
// as GetPrivateProfileSectionA fills it (zero-terminated entries closed by an
// empty one). Entries keep their length; the walk never leaves the buffer, even
// when the closing empty entry is missing. True when an entry was disabled.
bool CommentOutDeviceLines(std::span<char> section, const std::string& driverName);

// Rewrites the section of the profile file with the driver's device entries
// disabled, and flushes the file. Reports nothing. The file is left untouched when no entry was
// disabled (nothing matched, the section is missing or could not be read) and
// when the section is too large to be read whole (more than 1 MiB), so no
// entry or comment can be lost.
void DisableDeviceEntry(PlatformOps& ops, const std::string& fileName, const std::string& section,
                        const std::string& driverName);

// ---- a profile file edited as a file --------------------------------------------
// The profile functions keep one entry per key, so they cannot add a second
// "NUL=" line to Wininit.ini, and a section read back leaves comment lines out
// under Wine. Such edits work on the file's text.

// The file's bytes, read whole; an empty text when it does not exist; none
// when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(PlatformOps& ops, const std::string& path);

// Replaces the file's content with `bytes`, creating it; true when all of it
// was written.
bool WriteWholeFile(PlatformOps& ops, const std::string& path, const std::string& bytes);

// The entries ("key=value", as written) of every section named `section`
// (letter case aside) in a profile file's text; blank and comment lines left
// out.
std::vector<std::string> SectionEntries(const std::string& text, const std::string& section);

// Adds `lines` at the end of the first section named `section`, or in a new
// section at the end of the text; lines end in CR LF.
std::string AddSectionLines(const std::string& text, const std::string& section,
                            const std::vector<std::string>& lines);

// Drops every line of the sections named `section` that is `line` exactly
// (blanks around it aside). True when one was dropped.
bool DropSectionLines(std::string& text, const std::string& section, const std::string& line);

// Edits the profile file `fileName` (as the profile functions name it; its
// full path in the Windows folder: `path`) as a file: Windows' cached copy is
// flushed first, so the edit starts from what Windows knows; `edit` changes
// the text and says whether it did; only a changed text is written. A file
// that cannot be read is left alone (false). One that cannot be written is
// written back as it was, and the failure raises
// InstallerException("Exception", "Unable to write to <fileName>").
bool EditProfileFile(PlatformOps& ops, const std::string& fileName, const std::string& path,
                     const std::function<bool(std::string&)>& edit);

}  // namespace korvanta
