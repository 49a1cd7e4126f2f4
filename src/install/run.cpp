#include "install/run.h"

#include "components/aspi_layer.h"
#include "components/audio_engine.h"
#include "components/kernel_9x.h"
#include "components/kernel_nt.h"
#include "components/system_preparation.h"
#include "components/usb_support_files.h"
#include "install/command_line.h"
#include "install/install_context.h"
#include "install/media_deployment.h"
#include "install/product_guard.h"
#include "toolkit/error.h"
#include "toolkit/install_message.h"
#include "toolkit/platform.h"

namespace korvanta {
namespace {

void Mark(RunObserver* observer, const char* stage) {
  if (observer != nullptr) observer->StageBegins(stage);
}

}  // namespace

int RunInstallation(PlatformOps& ops, NewDevLoader& newDev, RunObserver* observer) {
  Mark(observer, "IsProductRunning");
  if (IsProductRunning(ops)) {
    ShowInstallMessage(ops, ProductRunningMessage);
    return 0;
  }

  Mark(observer, "BuildInstallContext");
  const InstallContext context = BuildInstallContext(ops);
  const Platform platform{ops, context.PlatformId, &newDev};
  const std::string& source = context.SourceDir;
  const std::string& windows = context.WindowsDir;
  const std::string& system = context.SystemDir;

  Mark(observer, "TuneDiskCache");
  TuneDiskCache(platform);
  Mark(observer, "ResetEngineSettings");
  ResetEngineSettings(platform);
  Mark(observer, "InstallAspiLayer");
  InstallAspiLayer(platform, source, windows, system);
  if (platform.Is9xFamily()) {
    Mark(observer, "InstallKernel9x");
    InstallKernel9x(platform, source, windows, system);
  } else {
    Mark(observer, "InstallKernelNt");
    InstallKernelNt(platform, source, windows, system);
  }
  Mark(observer, "InstallAudioEngine");
  InstallAudioEngine(platform, source, windows, system);
  Mark(observer, "InstallUsbAudioInterfaceFiles");
  InstallUsbAudioInterfaceFiles(platform, source, windows, system);
  Mark(observer, "InstallUsbControllerFiles");
  InstallUsbControllerFiles(platform, source, windows, system);

  Mark(observer, "DeployMediaFiles");
  // An argument that does not fit its buffer is refused whole: a cut
  // application directory would delete and copy in the wrong place, and a cut
  // manual name would copy the wrong manuals.
  const std::optional<std::string> applicationDir = CommandLineArgument(ops.GetCommandLineA(), 1);
  if (applicationDir && !applicationDir->empty()) {
    const std::optional<std::string> manualBaseName =
        CommandLineArgument(ops.GetCommandLineA(), 2);
    DeployMediaFiles(platform, *applicationDir, manualBaseName.value_or(std::string()));
  }
  return 0;
}

std::string FormatErrorBoxText(const std::string& typeName, const std::string& moduleFileName,
                               uintptr_t location, const std::string& message) {
  static const char hexDigits[] = "0123456789ABCDEF";
  const uint32_t address = static_cast<uint32_t>(location);
  std::string hex(8, '0');
  for (int i = 0; i < 8; ++i) hex[7 - i] = hexDigits[(address >> (4 * i)) & 0xF];

  std::string text = "Exception " + typeName + " in module " + moduleFileName + " at " + hex +
                     ".\n" + message;
  if (message.empty() || message.back() != '.') text += '.';
  return text;
}

int InstallerMain(PlatformOps& ops, RunObserver* observer) {
  Mark(observer, "load NewDev.dll");
  NewDevLoader newDev(ops);
  newDev.Load();
  int exitCode = 0;
  try {
    exitCode = RunInstallation(ops, newDev, observer);
  } catch (const InstallerException& error) {
    Mark(observer, "error box");
    const std::string text = FormatErrorBoxText(
        error.TypeName(), FileNamePart(ModulePath(ops)), error.Location(), error.Message());
    ops.MessageBoxA(nullptr, text.c_str(), ErrorBoxCaption, ErrorBoxFlags);
    exitCode = 1;
  }
  Mark(observer, "release NewDev.dll");
  return exitCode;
}

}  // namespace korvanta
