#include "install/run.h"

#include <exception>
#include <memory>
#include <new>

#include "components/aspi_layer.h"
#include "components/audio_engine.h"
#include "components/kernel_9x.h"
#include "components/kernel_nt.h"
#include "components/system_preparation.h"
#include "components/usb_support_files.h"
#include "install/boxless_platform_ops.h"
#include "install/command_line.h"
#include "install/install_context.h"
#include "install/machine_checks.h"
#include "install/media_deployment.h"
#include "install/product_guard.h"
#include "install/uninstall.h"
#include "toolkit/error.h"
#include "toolkit/file_placement.h"
#include "toolkit/install_message.h"
#include "toolkit/platform.h"

namespace korvanta {
namespace {

// What of the context a stage builds on: its directories, and the Windows
// family that chooses its files, folders and entries.
enum ContextUse : unsigned {
  UsesSourceDir = 1,
  UsesWindowsDir = 2,
  UsesSystemDir = 4,
  UsesFamily = 8,
};

void Mark(RunObserver* observer, const char* stage) {
  if (observer != nullptr) observer->StageBegins(stage);
}

void ShowErrorBox(PlatformOps& ops, RunObserver* observer, const std::string& typeName,
                  uintptr_t location, const std::string& message) {
  Mark(observer, "error box");
  const std::string text =
      FormatErrorBoxText(typeName, FileNamePart(ops, ModulePath(ops)), location, message);
  ops.MessageBoxA(nullptr, text.c_str(), ErrorBoxCaption, ErrorBoxFlags);
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
  // Loaded when the NT kernel stage first needs it, and released on every
  // way out of the run.
  SetupApi setupApi(ops);
  const Platform platform{ops, context.PlatformId, &newDev, &setupApi};
  const std::string& source = context.SourceDir;
  const std::string& windows = context.WindowsDir;
  const std::string& system = context.SystemDir;

  // A directory the system could not report is empty, and every path built
  // on it would be relative to the current folder: a stage that builds its
  // paths on such a directory does nothing rather than write there. Nor
  // does a stage that differs by family when the family is not known: the
  // other family's drivers and entries would be wrong on this machine.
  const auto stageMayRun = [&](unsigned uses) {
    return !((uses & UsesFamily) && !context.PlatformKnown) &&
           !((uses & UsesSourceDir) && source.empty()) &&
           !((uses & UsesWindowsDir) && windows.empty()) &&
           !((uses & UsesSystemDir) && system.empty());
  };
  constexpr unsigned UsesAll = UsesSourceDir | UsesWindowsDir | UsesSystemDir | UsesFamily;

  Mark(observer, "TuneDiskCache");
  if (stageMayRun(UsesFamily)) TuneDiskCache(platform);
  Mark(observer, "ResetEngineSettings");
  ResetEngineSettings(platform);
  Mark(observer, "InstallAspiLayer");
  if (stageMayRun(UsesAll)) InstallAspiLayer(platform, source, windows, system);
  Mark(observer, platform.Is9xFamily() ? "InstallKernel9x" : "InstallKernelNt");
  if (stageMayRun(UsesAll)) {
    if (platform.Is9xFamily()) {
      InstallKernel9x(platform, source, windows, system);
    } else {
      InstallKernelNt(platform, source, windows, system);
    }
  }
  Mark(observer, "InstallAudioEngine");
  if (stageMayRun(UsesSourceDir | UsesSystemDir | UsesFamily)) {
    InstallAudioEngine(platform, source, windows, system);
  }
  Mark(observer, "InstallUsbAudioInterfaceFiles");
  if (stageMayRun(UsesSourceDir | UsesWindowsDir)) {
    InstallUsbAudioInterfaceFiles(platform, source, windows, system);
  }
  Mark(observer, "InstallUsbControllerFiles");
  if (stageMayRun(UsesAll)) InstallUsbControllerFiles(platform, source, windows, system);

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

namespace {

// Before anything else, and before the guard: a user whose machine cannot
// take the installation is told so at once, not first asked to close the
// suite's applications and start setup again. A question that cannot be
// answered lets the run go on, as it always did.
bool MachineRefusesInstallation(PlatformOps& ops, RunObserver* observer) {
  Mark(observer, "RunsUnderWow64");
  if (RunsUnderWow64(ops)) {
    ShowInstallMessage(ops, Wow64Message);
    return true;
  }
  Mark(observer, "RunsUnderCompatibilityLayer");
  const std::optional<DWORD> platformId = ReadPlatformId(ops);
  // The 9x paths on an NT system would skip the administrator check, write
  // Wininit.ini (which NT never reads) and never install the NT driver.
  if (platformId == DWORD{VER_PLATFORM_WIN32_WINDOWS} && RunsUnderCompatibilityLayer(ops)) {
    ShowInstallMessage(ops, CompatibilityModeMessage);
    return true;
  }
  Mark(observer, "AdministratorsMembership");
  if (platformId && *platformId != VER_PLATFORM_WIN32_WINDOWS &&
      AdministratorsMembership(ops) == Membership::NotMember) {
    ShowInstallMessage(ops, AdministratorMessage);
    return true;
  }
  return false;
}

int RunOrShowError(PlatformOps& system, NewDevLoader& newDev, RunObserver* observer) {
  std::unique_ptr<PlatformOps> boxless;
  PlatformOps* run = &system;
  try {
    // Asked before the first box, which would otherwise wait for ever.
    Mark(observer, "WindowStationVisible");
    if (!WindowStationVisible(system)) {
      boxless = MakeBoxlessPlatformOps(system, observer);
      run = boxless.get();
    }
    PlatformOps& ops = *run;
    // Nothing was installed.
    if (MachineRefusesInstallation(ops, observer)) return 1;
    if (AsksForUninstall(CommandLineArgument(ops.GetCommandLineA(), 1))) {
      return RunUninstall(ops, observer);
    }
    // Loading the binding asks for the system folder, which can run out of
    // memory like any later step.
    Mark(observer, "load NewDev.dll");
    newDev.Load();
    return RunInstallation(ops, newDev, observer);
  } catch (const InstallerException& error) {
    ShowErrorBox(*run, observer, error.TypeName(), error.Location(), error.Message());
  } catch (const std::bad_alloc&) {
    // Where a foreign error was raised is not known: the box shows location 0.
    ShowErrorBox(*run, observer, GenericErrorTypeName, 0, OutOfMemoryMessage);
  } catch (const std::exception& error) {
    ShowErrorBox(*run, observer, GenericErrorTypeName, 0,
                 std::string(UnexpectedErrorMessage) + ": " + error.what());
  } catch (...) {
    ShowErrorBox(*run, observer, GenericErrorTypeName, 0, UnexpectedErrorMessage);
  }
  return 1;
}

}  // namespace

int InstallerMain(PlatformOps& ops, RunObserver* observer) {
  NewDevLoader newDev(ops);
  const int exitCode = RunOrShowError(ops, newDev, observer);
  Mark(observer, "release NewDev.dll");
  return exitCode;
}

}  // namespace korvanta
