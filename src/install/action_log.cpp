#include "install/action_log.h"

#include <memory>

#include "install/install_context.h"
#include "install/version.h"
#include "toolkit/run_time_library.h"

namespace korvanta {
namespace {

std::string Padded(uint32_t value, size_t width) {
  std::string text = logtext::Dec(value);
  if (text.size() < width) text.insert(0, width - text.size(), '0');
  return text;
}

// 2024-05-01 13:45:12
std::string Time(const LogTime& time) {
  return Padded(time.year, 4) + "-" + Padded(time.month, 2) + "-" + Padded(time.day, 2) + " " +
         Padded(time.hour, 2) + ":" + Padded(time.minute, 2) + ":" + Padded(time.second, 2);
}

}  // namespace

bool ActionLog::Write(const std::string& line) {
  if (!active_) return false;
  if (!file_.AppendLine(line)) active_ = false;
  return active_;
}

void ActionLog::Operation(const std::string& text) {
  if (active_) Write(Padded(++sequence_, 5) + " " + text);
}

void ActionLog::StageBegins(const char* stage) { Write(std::string("---- ") + stage); }

bool ActionLog::Note(const std::string& text) { return Write("==== " + text); }

void ActionLog::BoxNotShown(const char* caption, const char* text) {
  Note("box not shown, the window station is not visible: " + logtext::Quoted(caption) + " " +
       logtext::Quoted(text));
}

namespace {

// The header's facts are read straight from the system, as the run reads them,
// and are not logged as operations: they are the log's own.
void WriteHeader(PlatformOps& ops, ActionLog& log) {
  using logtext::Dec;
  using logtext::Quoted;
  log.Note("executable " + Quoted(ModulePath(ops).c_str()));
  log.Note("command line " + Quoted(ops.GetCommandLineA()));
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (ops.GetVersionExA(&version)) {
    // The 9x family repeats the major and minor version in the high word.
    const DWORD build = version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS
                            ? version.dwBuildNumber & 0xFFFF
                            : version.dwBuildNumber;
    log.Note("platform id " + Dec(version.dwPlatformId) + ", version " +
             Dec(version.dwMajorVersion) + "." + Dec(version.dwMinorVersion) + ", build " +
             Dec(build) + " " +
             logtext::QuotedFixed(version.szCSDVersion, sizeof(version.szCSDVersion)));
  } else {
    log.Note("platform id unknown: GetVersionExA failed");
  }
  const InstallContext context = BuildInstallContext(ops);
  log.Note("SourceDir " + Quoted(context.SourceDir.c_str()));
  log.Note("WindowsDir " + Quoted(context.WindowsDir.c_str()));
  log.Note("SystemDir " + Quoted(context.SystemDir.c_str()));
}

}  // namespace

namespace {

// The file opened is the log's own unless it has another name or is a
// reparse point; a file that cannot be asked counts as someone else's, since
// refusing it costs only the log.
bool IsOwnLogFile(PlatformOps& ops, HANDLE file) {
  const auto kernel = LoadRunTimeFunctions<1>(ops, "kernel32.dll", {"GetFileInformationByHandle"});
  BY_HANDLE_FILE_INFORMATION info{};
  if (!kernel.AllFound() || !ops.GetFileInformationByHandle(kernel.address[0], file, &info)) {
    return false;
  }
  return info.nNumberOfLinks <= 1 && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

}  // namespace

HANDLE OpenActionLogFile(PlatformOps& ops, const std::string& path) {
  // A log goes into a file; a device (a disk, a port) is never written to.
  if (!IsPlainLogFilePath(path)) return INVALID_HANDLE_VALUE;
  const DWORD lastError = ops.GetLastError();
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  // The 9x family has neither hard links nor reparse points; NT 4 has no
  // reparse points and would refuse the flag that opens one rather than
  // what it leads to.
  const bool nineX =
      ops.GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
  const bool reparsePoints = !nineX && version.dwMajorVersion >= 5;
  // Shared for reading and writing so that the log can be watched, and a
  // second run can append, while it is open. Written through, so that a driver
  // installation that stops the machine leaves the log up to that point.
  HANDLE file = ops.CreateFileA(
      path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH |
          (reparsePoints ? DWORD{FILE_FLAG_OPEN_REPARSE_POINT} : 0),
      nullptr);
  if (file != INVALID_HANDLE_VALUE && !nineX && !IsOwnLogFile(ops, file)) {
    ops.CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
  ops.SetLastError(lastError);
  return file;
}

int InstallerMainWithLog(PlatformOps& ops, LogFile& file) {
  ActionLog log(file);
  if (!log.Note("korvanta-sysinstall " KORVANTA_VERSION_TEXT " action log, started " +
                Time(file.LocalTime()))) {
    return InstallerMain(ops);
  }
  WriteHeader(ops, log);
  const std::unique_ptr<PlatformOps> logged = MakeLoggingPlatformOps(ops, log);
  const int exitCode = InstallerMain(*logged, &log);
  log.Note("exit code " + logtext::Dec(static_cast<uint32_t>(exitCode)));
  return exitCode;
}

}  // namespace korvanta
