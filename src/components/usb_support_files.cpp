#include "components/usb_support_files.h"

#include "toolkit/file_placement.h"

namespace korvanta {
namespace {

enum class UsbDevice { AudioInterface, Controller };

// Where a row's target path starts.
enum class TargetFolder {
  Windows,  // WindowsDir
  System,   // SystemDir
  Driver,   // the family's driver folder (see DriverFolder)
};

struct SupportFile {
  UsbDevice device;
  const char* source;  // in SourceDir
  TargetFolder folder;
  const char* target;  // relative to the folder
  const char* failureMessage;
};

// In copy order. The messages stay word for word as the installer has always
// shown them, the spelling "dirtectory" and "System32" on the 9x family
// included.
constexpr SupportFile SupportFiles[] = {
    {UsbDevice::AudioInterface, "MAYA51USB.INF", TargetFolder::Windows, "INF\\MAYA51USB.INF",
     "Unable to copy \"MAYA51USB.INF\" to INF dirtectory !"},
    {UsbDevice::Controller, "PX_USB.INF", TargetFolder::Windows, "INF\\PX_USB.INF",
     "Unable to copy \"PX_USB.INF\" to INF directory !"},
    {UsbDevice::Controller, "FTD2XX.DLL", TargetFolder::System, "FTD2XX.DLL",
     "Unable to copy \"FTD2XX.DLL\" to System32 directory!"},
    {UsbDevice::Controller, "FTD2XXUN.EXE", TargetFolder::System, "FTD2XXUN.EXE",
     "Unable to copy \"FTD2XXUN.EXE\" to System32 directory!"},
    {UsbDevice::Controller, "FTD2XX.SYS", TargetFolder::Driver, "Drivers\\FTD2XX.SYS",
     "Unable to copy \"FTD2XX.SYS\" to Drivers directory!"},
};

// On the 9x family the kernel driver goes below a "SYSTEM32" folder beside the
// system folder (C:\WINDOWS\SYSTEM gives C:\WINDOWS\SYSTEM32\), which is
// never created here; on NT the system folder is already that folder.
std::string DriverFolder(const Platform& platform, const std::string& systemDir) {
  PlatformOps& ops = platform.ops;
  if (platform.Is9xFamily()) return AdjustTrailingBackslash(ops, systemDir, false) + "32\\";
  return AdjustTrailingBackslash(ops, systemDir, true);
}

void InstallSupportFiles(const Platform& platform, UsbDevice device, const std::string& sourceDir,
                         const std::string& windowsDir, const std::string& systemDir) {
  PlatformOps& ops = platform.ops;
  for (const SupportFile& file : SupportFiles) {
    if (file.device != device) continue;
    std::string folder;
    switch (file.folder) {
      case TargetFolder::Windows: folder = AdjustTrailingBackslash(ops, windowsDir, true); break;
      case TargetFolder::System: folder = AdjustTrailingBackslash(ops, systemDir, true); break;
      case TargetFolder::Driver: folder = DriverFolder(platform, systemDir); break;
    }
    CopyAndReport(platform, AdjustTrailingBackslash(ops, sourceDir, true) + file.source,
                  folder + file.target, file.failureMessage);
  }
}

}  // namespace

void InstallUsbAudioInterfaceFiles(const Platform& platform, std::string sourceDir,
                                   std::string windowsDir, std::string systemDir) {
  InstallSupportFiles(platform, UsbDevice::AudioInterface, sourceDir, windowsDir, systemDir);
}

void InstallUsbControllerFiles(const Platform& platform, std::string sourceDir,
                               std::string windowsDir, std::string systemDir) {
  InstallSupportFiles(platform, UsbDevice::Controller, sourceDir, windowsDir, systemDir);
}

}  // namespace korvanta
