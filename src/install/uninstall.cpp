#include "install/uninstall.h"

#include <vector>

#include "components/aspi_layer.h"
#include "components/audio_engine.h"
#include "components/kernel_9x.h"
#include "components/kernel_nt.h"
#include "install/install_context.h"
#include "install/product_guard.h"
#include "toolkit/error.h"
#include "toolkit/file_placement.h"
#include "toolkit/install_message.h"
#include "toolkit/removal.h"
#include "toolkit/root_device.h"

namespace korvanta {
namespace {

void Mark(RunObserver* observer, const char* stage) {
  if (observer != nullptr) observer->StageBegins(stage);
}

}  // namespace

bool AsksForUninstall(const std::optional<std::string>& firstArgument) {
  return firstArgument && EqualIgnoringAsciiCase(*firstArgument, UninstallArgument);
}

int RunUninstall(PlatformOps& ops, RunObserver* observer) {
  Mark(observer, "IsProductRunning");
  // An uninstall that removed nothing must not report success.
  if (IsProductRunning(ops)) {
    ShowInstallMessage(ops, ProductRunningMessage);
    return 1;
  }

  Mark(observer, "BuildInstallContext");
  const InstallContext context = BuildInstallContext(ops);
  const std::string& windows = context.WindowsDir;
  const std::string& system = context.SystemDir;
  // Paths built on a folder the system could not report would be relative
  // to the current one, and the other family's entries would be wrong here.
  if (!context.PlatformKnown || windows.empty() || system.empty()) {
    throw InstallerException("Exception", "Unable to find the Windows folders");
  }
  SetupApi setupApi(ops);
  const Platform platform{ops, context.PlatformId, nullptr, &setupApi};

  std::vector<SuiteFile> files = platform.Is9xFamily() ? KernelFiles9x() : KernelNtFiles();
  for (std::vector<SuiteFile> more : {AudioEngineFiles(), AspiLayerStagedFiles(platform)}) {
    files.insert(files.end(), more.begin(), more.end());
  }

  // Before the restart that completes an installation nothing is taken
  // out: the restart would then put half of it back in place.
  Mark(observer, "ReplacementsPending");
  for (const SuiteFile& file : files) {
    const std::string path = PathOf(ops, file, windows, system);
    if (file.staged && FileExists(ops, path) && IsReplacementPending(platform, windows, path)) {
      ShowInstallMessage(ops, RestartFirstMessage);
      return 1;
    }
  }

  // The entries first: a boot driver whose file could not go is then no
  // longer loaded.
  Removal removal(platform, windows);
  if (platform.Is9xFamily()) {
    Mark(observer, "UninstallKernel9x");
    UninstallKernel9x(removal, windows);
  } else {
    Mark(observer, "UninstallKernelNt");
    UninstallKernelNt(removal);
  }
  Mark(observer, "UninstallAudioEngine");
  UninstallAudioEngine(removal);
  Mark(observer, "RemoveFiles");
  for (const SuiteFile& file : files) removal.RemoveFile(PathOf(ops, file, windows, system));
  Mark(observer, "FinishRemoval");
  removal.Finish();
  return 0;
}

}  // namespace korvanta
