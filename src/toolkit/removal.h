// What an uninstall takes out of the machine, and what it could not: files
// (deleted now, or at the next restart when a program holds them), registry
// keys and values. Nothing is reported while it works; Finish() reports.
#pragma once

#include <string>
#include <vector>

#include "platform/platform_ops.h"
#include "toolkit/platform.h"

namespace korvanta {

// A file of the suite that an uninstall takes out, by its folder.
enum class SuiteFolder { System, Windows };
struct SuiteFile {
  SuiteFolder folder;
  std::string path;  // relative to the folder
  // A staging name, replaced onto its final name at the restart: while that
  // replacement is pending the installation is not complete.
  bool staged;
};

// The file's full path.
std::string PathOf(PlatformOps& ops, const SuiteFile& file, const std::string& windowsDir,
                   const std::string& systemDir);

class Removal {
 public:
  Removal(const Platform& platform, std::string windowsDir);

  const Platform& platform() const { return platform_; }

  // Deletes the file, clearing the bits that refuse a deletion first. A file
  // a program holds goes at the next restart: on NT through a delayed
  // MoveFileExA with no new name, on 9x through a "NUL=" entry that Finish()
  // writes. A missing file is nothing to do.
  void RemoveFile(const std::string& path);
  // Deletes the key with everything below it; a missing key is nothing to do.
  void RemoveKeyTree(HKEY root, const std::string& path);
  // Deletes the key when no subkey (and, with `valuesToo`, no value) is left
  // in it; one that is not empty stays, and is no failure.
  void RemoveKeyIfEmpty(HKEY root, const std::string& path, bool valuesToo);
  // Deletes the value; a missing value or key is nothing to do.
  void RemoveValue(HKEY root, const std::string& path, const std::string& name);
  // Something that stays although it should have gone, by a name for the box.
  void Failed(const std::string& what);

  // Writes the 9x family's deletions at the restart into Wininit.ini, then
  // raises InstallerException("Exception", "Unable to remove <what>") for
  // the first thing that stayed.
  void Finish();

 private:
  const Platform& platform_;
  std::string windowsDir_;
  std::vector<std::string> deletesAtRestart_;  // 9x: short paths
  std::string firstFailure_;
};

// Whether a staged replacement of `staged` is pending for the next restart:
// named as the source of a rename in the session manager's list (NT) or as
// the value of an entry of Wininit.ini [RENAME] (9x, its short path). A list
// that cannot be read holds nothing.
bool IsReplacementPending(const Platform& platform, const std::string& windowsDir,
                          const std::string& staged);

}  // namespace korvanta
