#include "install/action_log.h"

#include <cstring>

#include "install/install_context.h"
#include "install/logging_platform_ops.h"
#include "install/version.h"

namespace korvanta {
namespace logtext {
namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

std::string Padded(uint64_t value, size_t width) {
  std::string text = Dec(value);
  if (text.size() < width) text.insert(0, width - text.size(), '0');
  return text;
}

std::string HexDigitsOf(uint64_t value, size_t width) {
  std::string text(width, '0');
  for (size_t i = 0; i < width; ++i) text[width - 1 - i] = HexDigits[(value >> (4 * i)) & 0xF];
  return text;
}

}  // namespace

size_t BoundedLength(const char* text, size_t size) {
  const void* end = std::memchr(text, 0, size);
  return end == nullptr ? size : static_cast<size_t>(static_cast<const char*>(end) - text);
}

std::string Quoted(const char* text) {
  if (text == nullptr) return "NULL";
  return QuotedBytes(text, std::char_traits<char>::length(text));
}

std::string QuotedBytes(const void* data, size_t size) {
  if (data == nullptr) return "NULL";
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::string text = "\"";
  for (size_t i = 0; i < size; ++i) {
    const unsigned char byte = bytes[i];
    if (byte == '"') {
      text += "\"\"";
    } else if (byte < 0x20 || byte >= 0x7F) {
      text += "\\x";
      text += HexDigits[byte >> 4];
      text += HexDigits[byte & 0xF];
    } else {
      text += static_cast<char>(byte);
    }
  }
  return text + "\"";
}

std::string Hex(uint64_t value) {
  size_t width = 1;
  while (width < 16 && (value >> (4 * width)) != 0) ++width;
  return "0x" + HexDigitsOf(value, width);
}

std::string Dec(uint64_t value) {
  std::string text;
  do {
    text.insert(text.begin(), static_cast<char>('0' + value % 10));
    value /= 10;
  } while (value != 0);
  return text;
}

std::string Bool(BOOL value) {
  if (value == TRUE) return "TRUE";
  if (value == FALSE) return "FALSE";
  return Dec(static_cast<uint32_t>(value));
}

std::string Pointer(const void* pointer) {
  return pointer == nullptr ? "NULL" : Hex(reinterpret_cast<uintptr_t>(pointer));
}

std::string Guid(const GUID* guid) {
  if (guid == nullptr) return "NULL";
  std::string text = "{" + HexDigitsOf(guid->Data1, 8) + "-" + HexDigitsOf(guid->Data2, 4) + "-" +
                     HexDigitsOf(guid->Data3, 4) + "-";
  for (int i = 0; i < 8; ++i) {
    if (i == 2) text += '-';
    text += HexDigitsOf(guid->Data4[i], 2);
  }
  return text + "}";
}

std::string RegType(DWORD type) {
  static const char* const names[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY",
                                      "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",
                                      "REG_MULTI_SZ"};
  return type < sizeof(names) / sizeof(names[0]) ? names[type] : Hex(type);
}

std::string RegData(DWORD type, const BYTE* data, DWORD size) {
  if (data == nullptr) return "NULL";
  if (type == REG_DWORD && size == 4) {
    return Hex(data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24);
  }
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) return QuotedBytes(data, size);
  std::string text = "hex:";
  for (DWORD i = 0; i < size; ++i) {
    if (i) text += ' ';
    text += HexDigitsOf(data[i], 2);
  }
  return text;
}

std::string Time(const LogTime& time) {
  return Padded(time.year, 4) + "-" + Padded(time.month, 2) + "-" + Padded(time.day, 2) + " " +
         Padded(time.hour, 2) + ":" + Padded(time.minute, 2) + ":" + Padded(time.second, 2);
}

std::string Sequence(uint32_t number) { return Padded(number, 5); }

}  // namespace logtext

bool ActionLog::Write(const std::string& line) {
  if (!active_) return false;
  if (!file_.AppendLine(line)) active_ = false;
  return active_;
}

void ActionLog::Operation(const std::string& text) {
  if (active_) Write(logtext::Sequence(++sequence_) + " " + text);
}

void ActionLog::StageBegins(const char* stage) { Write(std::string("---- ") + stage); }

bool ActionLog::Note(const std::string& text) { return Write("==== " + text); }

namespace {

using logtext::BoundedLength;

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
             logtext::QuotedBytes(version.szCSDVersion,
                                  BoundedLength(version.szCSDVersion, sizeof(version.szCSDVersion))));
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
                logtext::Time(file.LocalTime()))) {
    return InstallerMain(ops);
  }
  WriteHeader(ops, log);
  LoggingPlatformOps logged(ops, log);
  const int exitCode = InstallerMain(logged, &log);
  log.Note("exit code " + logtext::Dec(static_cast<uint32_t>(exitCode)));
  return exitCode;
}

}  // namespace korvanta
