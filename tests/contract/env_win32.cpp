// The contract tests' environment on Windows (run under Wine): the real
// operations, a scratch folder below C:\contract and a scratch key below
// HKEY_CURRENT_USER\Software\KorvantaContract, both emptied before each test
// except the AfterRestart half of a restart pair, which finds what its
// BeforeRestart half left through the restart. Set-up and inspection use the
// Win32 functions directly, not the operations under test.
#include <gtest/gtest.h>

#include <vector>

#include "contract/contract_env.h"
#include "platform/win32/win32_platform_ops.h"

namespace korvanta::contract {
namespace {

const char kScratchRoot[] = "C:\\contract";
const char kScratchKeyRoot[] = "Software\\KorvantaContract";

void DeleteTree(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE find = ::FindFirstFileA((path + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      const std::string child = path + "\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        DeleteTree(child);
      } else {
        ::SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileA(child.c_str());
      }
    } while (::FindNextFileA(find, &data));
    ::FindClose(find);
  }
  ::RemoveDirectoryA(path.c_str());
}

void DeleteKeyTree(HKEY root, const std::string& path) {
  HKEY key;
  if (::RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    char name[256];
    DWORD length = sizeof name;
    std::vector<std::string> children;
    for (DWORD i = 0; ::RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) ==
                      ERROR_SUCCESS;
         ++i, length = sizeof name) {
      children.push_back(name);
    }
    ::RegCloseKey(key);
    for (const std::string& child : children) DeleteKeyTree(root, path + "\\" + child);
  }
  ::RegDeleteKeyA(root, path.c_str());
}

void MakeDirectories(const std::string& path) {
  for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1)) {
    ::CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
  ::CreateDirectoryA(path.c_str(), nullptr);
}

std::string OwnDirectory() {
  char path[MAX_PATH + 1] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text = path;
  return text.substr(0, text.find_last_of('\\'));
}

class Win32Env final : public ContractEnv {
 public:
  Win32Env() {
    scratch_ = std::string(kScratchRoot) + "\\" + ScratchName();
    scratchKey_ = std::string(kScratchKeyRoot) + "\\" + ScratchName();
    if (!EndsWith(TestName(), "AfterRestart")) {
      DeleteTree(scratch_);
      DeleteKeyTree(HKEY_CURRENT_USER, scratchKey_);
    }
    MakeDirectories(scratch_);
  }

  ~Win32Env() override {
    for (HANDLE file : lockedFiles_) ::CloseHandle(file);
    for (const PROCESS_INFORMATION& process : processes_) {
      ::TerminateProcess(process.hProcess, 0);
      ::WaitForSingleObject(process.hProcess, 5000);
      ::CloseHandle(process.hThread);
      ::CloseHandle(process.hProcess);
    }
  }

  PlatformOps& Ops() override { return ops_; }
  DWORD PlatformId() override {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ::GetVersionExA(&info);
    return info.dwPlatformId;
  }
  bool IsWine() override {
    return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  }
  std::string Scratch() override { return scratch_; }
  std::string ScratchKey() override { return scratchKey_; }

  void WriteFile(const std::string& path, const std::string& bytes) override {
    MakeDirectories(path.substr(0, path.find_last_of('\\')));
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << "cannot create " << path;
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
    ASSERT_EQ(bytes.size(), written) << path;
  }

  std::optional<std::string> ReadFile(const std::string& path) override {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) bytes.append(chunk, read);
    ::CloseHandle(file);
    return bytes;
  }

  void MakeDirectory(const std::string& path) override { MakeDirectories(path); }

  void SetEnvironmentVariable(const std::string& name, const std::string& value) override {
    ASSERT_TRUE(::SetEnvironmentVariableA(name.c_str(), value.c_str())) << name;
  }

  void LockFile(const std::string& path) override {
    // Sharing is checked per open handle, so a handle of this process blocks
    // the operations under test the way another program's would.
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << "cannot lock " << path;
    lockedFiles_.push_back(file);
  }

  DWORD StartProcess(const std::string& exeName) override {
    const std::string path = scratch_ + "\\" + exeName;
    const std::string sleeper = OwnDirectory() + "\\winebed\\sleeper.exe";
    if (!::CopyFileA(sleeper.c_str(), path.c_str(), FALSE)) {
      ADD_FAILURE() << "cannot copy " << sleeper << " to " << path;
      return 0;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + path + "\"";
    if (!::CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, scratch_.c_str(), &startup, &process)) {
      ADD_FAILURE() << "cannot start " << path << " (error " << ::GetLastError() << ")";
      return 0;
    }
    processes_.push_back(process);
    // Give the program time to load, so that its modules can be listed.
    ::Sleep(300);
    return process.dwProcessId;
  }

  bool CanRestart() override { return false; }
  void Restart() override { ADD_FAILURE() << "the runner restarts the prefix between the runs"; }

 private:
  Win32PlatformOps ops_;
  std::string scratch_;
  std::string scratchKey_;
  std::vector<HANDLE> lockedFiles_;
  std::vector<PROCESS_INFORMATION> processes_;
};

}  // namespace

ContractEnv& Env() { return EnvironmentOfThisTest<Win32Env>(); }

}  // namespace korvanta::contract
