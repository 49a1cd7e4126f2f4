#include "install/media_deployment.h"

#include "install/product_guard.h"
#include "toolkit/file_placement.h"

namespace korvanta {
namespace {

constexpr char HistoryFile[] = "HISTORY.TXT";
constexpr char OemLibraryOnCd[] = "OEM\\TAVOEM.DLL";
constexpr char OemLibrary[] = "TAVOEM.DLL";
constexpr char ManualFolderOnCd[] = "DATA\\DOC\\";
constexpr const char* ManualSuffixes[] = {"-de.pdf", "-en.pdf"};

// Puts the error mode back on every way out of the search.
class ErrorModeRestorer {
 public:
  ErrorModeRestorer(PlatformOps& ops, UINT mode) : ops_(ops), previous_(ops.SetErrorMode(mode)) {}
  ~ErrorModeRestorer() { ops_.SetErrorMode(previous_); }
  ErrorModeRestorer(const ErrorModeRestorer&) = delete;
  ErrorModeRestorer& operator=(const ErrorModeRestorer&) = delete;

 private:
  PlatformOps& ops_;
  UINT previous_;
};

// The CD's copy over the target, not read-only; an existing target is
// overwritten, a read-only or locked one stays as it was.
void CopyFromCd(PlatformOps& ops, const std::string& relativePath, const std::string& target) {
  const std::string source = FindOnCdromDrives(ops, relativePath);
  if (!source.empty() && FileExists(ops, source)) {
    CopyWritable(ops, source, target);
  }
}

}  // namespace

std::string FindOnCdromDrives(PlatformOps& ops, const std::string& relativePath) {
  // An empty drive would otherwise ask the user to insert a disk.
  ErrorModeRestorer errorMode(ops, SEM_FAILCRITICALERRORS);
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    const std::string root = std::string(1, letter) + ":\\";
    if (ops.GetDriveTypeA(root.c_str()) != DRIVE_CDROM) continue;
    const std::string path = root + relativePath;
    if (FileExists(ops, path)) return path;
  }
  return std::string();
}

void DeployMediaFiles(const Platform& platform, std::string applicationDir,
                      std::string manualBaseName) {
  PlatformOps& ops = platform.ops;
  const std::string target = AdjustTrailingBackslash(ops, applicationDir, true);

  // Whether it existed and whether it could be deleted does not matter.
  ops.DeleteFileA((target + HistoryFile).c_str());

  CopyFromCd(ops, OemLibraryOnCd, target + OemLibrary);

  // The base name is joined to the CD's manual folder and to the application
  // directory as it stands: a name holding a path could copy any file of the
  // machine to any place, so such a name is no manual's name.
  if (manualBaseName.empty()) return;
  if (FindLastSeparator(ops, manualBaseName, "\\/:") != std::string::npos) return;
  for (const char* suffix : ManualSuffixes) {
    CopyFromCd(ops, ManualFolderOnCd + manualBaseName + suffix, target + manualBaseName + suffix);
  }
}

}  // namespace korvanta
