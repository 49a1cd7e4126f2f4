// Editing the Windows profile (INI) files of the 9x family: single values
// through ProfileFile, and the rewrite of one section that disables a driver's
// static load entry.
//
// Files are named without a directory ("System.ini", "Wininit.ini"), so the
// operating system uses the file of that name in the Windows directory.
#pragma once

#include <span>
#include <string>

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

}  // namespace korvanta
