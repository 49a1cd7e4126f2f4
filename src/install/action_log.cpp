#include "install/action_log.h"

#include <memory>

#include "install/install_context.h"
#include "install/version.h"

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
