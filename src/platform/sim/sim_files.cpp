// The simulated file system: drives, folders and files with attributes and
// locks, the kernel32 file operations, deferred renames and the restart that
// carries them out.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

#include "platform/sim/sim_state.h"

namespace korvanta::sim {

namespace {

constexpr DWORD kErrorNotSameDevice = 17;

// Attributes SetFileAttributesA can store; the others are the file system's.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      0x00000100 /* TEMPORARY */ | 0x00001000 /* OFFLINE */ |
                                      0x00002000 /* NOT_CONTENT_INDEXED */;

bool HasInvalidCharacter(std::string_view component) {
  return std::any_of(component.begin(), component.end(), [](char c) {
    return static_cast<unsigned char>(c) < 32 || std::strchr("<>:\"|?*", c) != nullptr;
  });
}

// Wildcards as FindFirstFileA reads them; "*.*" matches every name.
bool WildcardMatch(std::string_view pattern, std::string_view name) {
  if (pattern == "*.*") pattern = "*";
  if (pattern.empty()) return name.empty();
  if (pattern.front() == '*') {
    for (size_t skip = 0; skip <= name.size(); ++skip) {
      if (WildcardMatch(pattern.substr(1), name.substr(skip))) return true;
    }
    return false;
  }
  if (name.empty()) return false;
  if (pattern.front() != '?' && Upper(pattern.substr(0, 1)) != Upper(name.substr(0, 1))) {
    return false;
  }
  return WildcardMatch(pattern.substr(1), name.substr(1));
}

std::string ParentKey(const std::string& key) {
  const size_t slash = key.rfind('\\');
  return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

// Whether a name is a short (8.3) one, usable where only those exist: up to
// eight characters, a dot and up to three more, no blank.
bool IsShortName(std::string_view name) {
  const size_t dot = name.find('.');
  const std::string_view base = name.substr(0, dot);
  const std::string_view extension = dot == std::string_view::npos ? "" : name.substr(dot + 1);
  return !base.empty() && base.size() <= 8 && extension.size() <= 3 &&
         extension.find('.') == std::string_view::npos &&
         name.find_first_of(" +,;=[]") == std::string_view::npos;
}

// The short name Windows gives a long one: its first six characters, "~1"
// and the first three of its extension, in capitals, blanks and extra dots
// dropped. The machine never holds two long names of one short form, so
// "~2" and above do not occur.
std::string ShortAlias(std::string_view name) {
  if (IsShortName(name)) return std::string(name);
  const size_t dot = name.rfind('.');
  std::string base, extension;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = std::strchr("+,;=[]", name[i]) != nullptr ? '_' : name[i];
    if (c == ' ' || (c == '.' && i != dot)) continue;
    if (dot != std::string_view::npos && i > dot) extension += c;
    else if (i != dot) base += c;
  }
  base = Upper(base).substr(0, 6) + "~1";
  return extension.empty() ? base : base + "." + Upper(extension).substr(0, 3);
}

std::string LeafOf(const std::string& path) { return path.substr(path.rfind('\\') + 1); }

DWORD ReportedAttributes(const FileNode& node) {
  if (node.directory) return node.attributes | FILE_ATTRIBUTE_DIRECTORY;
  return node.attributes == 0 ? FILE_ATTRIBUTE_NORMAL : node.attributes;
}

}  // namespace

// ---- paths and nodes -----------------------------------------------------------

std::string SimMachine::State::CurrentDirectory() const {
  const size_t slash = modulePath.find_last_of("\\");
  return slash == std::string::npos ? std::string("C:\\") : modulePath.substr(0, slash);
}

std::optional<ResolvedPath> SimMachine::State::Resolve(std::string_view path, DWORD* error) const {
  std::string text(path);
  std::replace(text.begin(), text.end(), '/', '\\');
  if (text.empty() || text.compare(0, 2, "\\\\") == 0) {  // empty, or a network path
    *error = ERROR_PATH_NOT_FOUND;
    return std::nullopt;
  }
  char drive;
  std::string rest;
  if (text.size() >= 2 && text[1] == ':' && std::isalpha(static_cast<unsigned char>(text[0]))) {
    drive = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    rest = text.substr(2);
  } else if (text[0] == '\\') {
    drive = static_cast<char>(std::toupper(static_cast<unsigned char>(CurrentDirectory()[0])));
    rest = text;
  } else {
    const std::string current = CurrentDirectory();
    drive = static_cast<char>(std::toupper(static_cast<unsigned char>(current[0])));
    rest = current.substr(2) + "\\" + text;
  }

  ResolvedPath resolved;
  resolved.trailingSeparator = rest.size() > 1 && rest.back() == '\\';
  std::vector<std::string> components;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    std::string component = rest.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    // Win32 drops trailing dots and blanks of a name ("FILE." is "FILE").
    while (!component.empty() && (component.back() == '.' || component.back() == ' ')) {
      component.pop_back();
    }
    if (component.empty() || HasInvalidCharacter(component)) {
      *error = error::kInvalidName;
      return std::nullopt;
    }
    components.push_back(component);
  }
  resolved.key = std::string(1, drive) + ":";
  for (const std::string& component : components) {
    resolved.parentKey = resolved.key;
    resolved.key = ChildKey(resolved.key, component);
  }
  resolved.leaf = components.empty() ? std::string() : components.back();
  resolved.parts = std::move(components);
  return resolved;
}

std::string SimMachine::State::ChildKey(const std::string& parentKey,
                                        const std::string& component) const {
  const std::string key = parentKey + "\\" + Upper(component);
  if (Find(key) != nullptr || component.find('~') == std::string::npos) return key;
  for (const auto& [other, node] : nodes) {
    if (ParentKey(other) == parentKey && IEquals(ShortAlias(LeafOf(node.path)), component)) {
      return other;
    }
  }
  return key;
}

FileNode* SimMachine::State::Find(const std::string& key) {
  const auto it = nodes.find(key);
  return it == nodes.end() ? nullptr : &it->second;
}

const FileNode* SimMachine::State::Find(const std::string& key) const {
  const auto it = nodes.find(key);
  return it == nodes.end() ? nullptr : &it->second;
}

bool SimMachine::State::IsDirectory(const std::string& key) const {
  const FileNode* node = Find(key);
  return node != nullptr && node->directory;
}

DWORD SimMachine::State::MissingError(const ResolvedPath& path) const {
  return !path.parentKey.empty() && IsDirectory(path.parentKey) ? ERROR_FILE_NOT_FOUND
                                                               : ERROR_PATH_NOT_FOUND;
}

void SimMachine::State::MakeDirectories(const std::string& path) {
  DWORD error = 0;
  const std::optional<ResolvedPath> resolved = Resolve(path, &error);
  if (!resolved) throw std::invalid_argument("SimMachine: not a usable path: " + path);
  std::string key = resolved->key.substr(0, 2);
  std::string display = key;
  for (size_t i = 0;; ++i) {
    if (const FileNode* node = Find(key)) {
      if (!node->directory) throw std::invalid_argument("SimMachine: a file is in the way: " + key);
      display = node->path;
    } else {
      nodes[key] = FileNode{display, true, 0, {}, 0};
    }
    if (i == resolved->parts.size()) break;
    key += "\\" + Upper(resolved->parts[i]);
    display += "\\" + resolved->parts[i];
  }
}

FileNode& SimMachine::State::PutFile(const ResolvedPath& path, const std::string& bytes,
                                     DWORD attributes) {
  FileNode& node = nodes[path.key];
  if (node.path.empty()) node.path = Find(path.parentKey)->path + "\\" + path.leaf;
  node.directory = false;
  node.bytes = bytes;
  node.attributes = attributes & ~FILE_ATTRIBUTE_NORMAL;
  return node;
}

bool SimMachine::State::RenameNode(const std::string& fromKey, const ResolvedPath& to) {
  const FileNode* parent = Find(to.parentKey);
  if (parent == nullptr || Find(fromKey) == nullptr) return false;
  const std::string newDisplay = parent->path + "\\" + to.leaf;
  std::vector<std::pair<std::string, FileNode>> moved;
  for (auto it = nodes.begin(); it != nodes.end();) {
    if (it->first == fromKey || it->first.compare(0, fromKey.size() + 1, fromKey + "\\") == 0) {
      const std::string suffix = it->first.substr(fromKey.size());
      FileNode node = it->second;
      node.path = newDisplay + node.path.substr(node.path.size() - suffix.size());
      moved.emplace_back(to.key + suffix, node);
      it = nodes.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [key, node] : moved) nodes[key] = node;
  return true;
}

void SimMachine::State::RemoveNode(const std::string& key) { nodes.erase(key); }

// ---- set-up and inspection ------------------------------------------------------

void SimMachine::SetDriveType(char letter, UINT type) {
  const char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN) {
    state_->driveTypes.erase(drive);
    return;
  }
  state_->driveTypes[drive] = type;
  if (type == DRIVE_FIXED || type == DRIVE_CDROM) AddDirectory(std::string(1, drive) + ":\\");
}

void SimMachine::AddDirectory(const std::string& path) { state_->MakeDirectories(path); }

void SimMachine::AddFile(const std::string& path, const std::string& bytes, DWORD attributes) {
  DWORD error = 0;
  const std::optional<ResolvedPath> resolved = state_->Resolve(path, &error);
  if (!resolved || resolved->parentKey.empty()) {
    throw std::invalid_argument("SimMachine: not a usable file path: " + path);
  }
  const size_t separator = path.find_last_of("\\/");
  state_->MakeDirectories(separator == std::string::npos ? state_->CurrentDirectory()
                                                         : path.substr(0, separator + 1));
  if (state_->IsDirectory(resolved->key)) {
    throw std::invalid_argument("SimMachine: a folder is in the way: " + path);
  }
  state_->PutFile(*resolved, bytes, attributes);
}

void SimMachine::RemoveFile(const std::string& path) {
  DWORD error = 0;
  const std::optional<ResolvedPath> resolved = state_->Resolve(path, &error);
  if (resolved && !state_->IsDirectory(resolved->key)) state_->RemoveNode(resolved->key);
}

bool SimMachine::FileExists(const std::string& path) const {
  DWORD error = 0;
  const std::optional<ResolvedPath> resolved = state_->Resolve(path, &error);
  const FileNode* node = resolved ? state_->Find(resolved->key) : nullptr;
  return node != nullptr && !node->directory;
}

bool SimMachine::DirectoryExists(const std::string& path) const {
  DWORD error = 0;
  const std::optional<ResolvedPath> resolved = state_->Resolve(path, &error);
  return resolved && state_->IsDirectory(resolved->key);
}

std::optional<std::string> SimMachine::ReadFile(const std::string& path) const {
  DWORD error = 0;
  const std::optional<ResolvedPath> resolved = state_->Resolve(path, &error);
  const FileNode* node = resolved ? state_->Find(resolved->key) : nullptr;
  if (node == nullptr || node->directory) return std::nullopt;
  return node->bytes;
}

DWORD SimMachine::Attributes(const std::string& path) const {
  DWORD error = 0;
  const std::optional<ResolvedPath> resolved = state_->Resolve(path, &error);
  const FileNode* node = resolved ? state_->Find(resolved->key) : nullptr;
  return node == nullptr ? INVALID_FILE_ATTRIBUTES : ReportedAttributes(*node);
}

void SimMachine::LockFile(const std::string& path, DWORD error) {
  DWORD resolveError = 0;
  const std::optional<ResolvedPath> resolved = state_->Resolve(path, &resolveError);
  FileNode* node = resolved ? state_->Find(resolved->key) : nullptr;
  if (node == nullptr || node->directory) {
    throw std::invalid_argument("SimMachine: no file to lock: " + path);
  }
  node->lockError = error;
}

void SimMachine::SetLinkCount(const std::string& path, DWORD links) {
  DWORD error = 0;
  const std::optional<ResolvedPath> resolved = state_->Resolve(path, &error);
  FileNode* node = resolved ? state_->Find(resolved->key) : nullptr;
  if (node == nullptr || node->directory) throw std::invalid_argument("SimMachine: no file: " + path);
  node->links = links;
}

void SimMachine::UnlockFile(const std::string& path) {
  DWORD error = 0;
  const std::optional<ResolvedPath> resolved = state_->Resolve(path, &error);
  if (FileNode* node = resolved ? state_->Find(resolved->key) : nullptr) node->lockError = 0;
}

std::vector<std::string> SimMachine::Files() const {
  std::vector<std::string> result;
  for (const auto& [key, node] : state_->nodes) {
    if (!node.directory) result.push_back(node.path);
  }
  return result;
}

std::vector<std::string> SimMachine::Directories() const {
  std::vector<std::string> result;
  for (const auto& [key, node] : state_->nodes) {
    if (node.directory) result.push_back(node.path);
  }
  return result;
}

std::vector<std::pair<std::string, std::string>> SimMachine::PendingRenames() const {
  std::vector<std::pair<std::string, std::string>> result;
  for (const PendingRename& rename : state_->PendingMoves()) {
    result.emplace_back(rename.source, rename.target);
  }
  return result;
}

// ---- kernel32 file operations ------------------------------------------------------

BOOL SimMachine::CopyFileA(const char* existing, const char* target, BOOL failIfExists) {
  State& s = *state_;
  if (auto error = s.Record("CopyFileA", JoinArgs({existing, target, failIfExists}))) {
    return s.Fail(*error);
  }
  if (existing == nullptr || target == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  DWORD error = 0;
  const std::optional<ResolvedPath> from = s.Resolve(existing, &error);
  if (!from) return s.Fail(error);
  const FileNode* source = s.Find(from->key);
  if (source == nullptr || from->trailingSeparator) return s.Fail(s.MissingError(*from));
  if (source->directory) return s.Fail(ERROR_ACCESS_DENIED);

  const std::optional<ResolvedPath> to = s.Resolve(target, &error);
  if (!to) return s.Fail(error);
  if (to->parentKey.empty() || !s.IsDirectory(to->parentKey)) return s.Fail(ERROR_PATH_NOT_FOUND);
  if (const FileNode* old = s.Find(to->key)) {
    if (failIfExists) return s.Fail(ERROR_FILE_EXISTS);
    if (old->directory) return s.Fail(ERROR_ACCESS_DENIED);
    if (to->key == from->key) return s.Fail(ERROR_SHARING_VIOLATION);  // the source is open
    if (old->lockError != 0) return s.Fail(old->lockError);
    if (old->attributes & FILE_ATTRIBUTE_READONLY) return s.Fail(ERROR_ACCESS_DENIED);
    // NT overwrites a hidden or system file only with a file that has those
    // bits too.
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (!s.Is9x() && (old->attributes & ~source->attributes & kKept) != 0) {
      return s.Fail(ERROR_ACCESS_DENIED);
    }
  }
  // The copy takes the source's attributes and is marked for backup.
  const std::string bytes = source->bytes;
  const DWORD attributes = source->attributes | FILE_ATTRIBUTE_ARCHIVE;
  s.PutFile(*to, bytes, attributes);
  return TRUE;
}

// What the action log asks for (writing, a file opened or else created) and
// what a profile file edited whole asks for: reading a file that exists,
// writing one anew.
HANDLE SimMachine::CreateFileA(const char* name, DWORD access, DWORD share,
                               SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags,
                               HANDLE templateFile) {
  State& s = *state_;
  const auto fail = [&s](DWORD error) {
    s.lastError = error;
    return INVALID_HANDLE_VALUE;
  };
  if (auto error = s.Record("CreateFileA", JoinArgs({name, access, share, LogArg::Pointer(security),
                                                     disposition, flags, templateFile}))) {
    return fail(*error);
  }
  if (name == nullptr || (disposition != OPEN_ALWAYS && disposition != OPEN_EXISTING &&
                          disposition != CREATE_ALWAYS)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  DWORD error = 0;
  const std::optional<ResolvedPath> path = s.Resolve(name, &error);
  if (!path) return fail(error);
  if (path->parentKey.empty() || !s.IsDirectory(path->parentKey)) return fail(ERROR_PATH_NOT_FOUND);
  FileNode* node = s.Find(path->key);
  if (node == nullptr && disposition == OPEN_EXISTING) return fail(ERROR_FILE_NOT_FOUND);
  const bool writes = (access & GENERIC_WRITE) != 0;
  if (node != nullptr &&
      (node->directory || (writes && (node->attributes & FILE_ATTRIBUTE_READONLY)))) {
    return fail(ERROR_ACCESS_DENIED);
  }
  // Another process's hold refuses writing; it shares reading.
  if (node != nullptr && writes && node->lockError != 0) return fail(node->lockError);
  if (node == nullptr) {
    s.PutFile(*path, "", FILE_ATTRIBUTE_ARCHIVE);
  } else if (disposition == CREATE_ALWAYS) {
    // The file is emptied and takes the archive bit alone.
    node->bytes.clear();
    node->attributes = FILE_ATTRIBUTE_ARCHIVE;
  }
  const uintptr_t handle = s.NewHandleValue();
  s.fileHandles[handle] = {path->key, (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0};
  s.fileCursors[handle] = {access, 0};
  return reinterpret_cast<HANDLE>(handle);
}

BOOL SimMachine::ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read,
                          OVERLAPPED* overlapped) {
  State& s = *state_;
  if (auto error =
          s.Record("ReadFile", JoinArgs({file, LogArg::Pointer(buffer), toRead,
                                         LogArg::Pointer(read), LogArg::Pointer(overlapped)}))) {
    return s.Fail(*error);
  }
  const auto cursor = s.fileCursors.find(reinterpret_cast<uintptr_t>(file));
  const FileNode* node =
      cursor == s.fileCursors.end() ? nullptr : s.Find(s.fileHandles[cursor->first].first);
  if (node == nullptr) return s.Fail(ERROR_INVALID_HANDLE);
  // Without an overlapped record the count is required.
  if (read == nullptr || (buffer == nullptr && toRead > 0)) return s.Fail(error::kNoAccess);
  *read = 0;
  if (!(cursor->second.access & GENERIC_READ)) return s.Fail(ERROR_ACCESS_DENIED);
  const size_t position = std::min(cursor->second.position, node->bytes.size());
  const size_t count = std::min<size_t>(toRead, node->bytes.size() - position);
  if (count > 0) std::memcpy(buffer, node->bytes.data() + position, count);
  cursor->second.position = position + count;
  *read = static_cast<DWORD>(count);
  return TRUE;  // at the end of the file: TRUE with nothing read
}

BOOL SimMachine::WriteFile(HANDLE file, const BYTE* buffer, DWORD toWrite, DWORD* written,
                           OVERLAPPED* overlapped) {
  State& s = *state_;
  if (auto error = s.Record(
          "WriteFile", JoinArgs({file, LogArg::Pointer(buffer), toWrite, LogArg::Pointer(written),
                                 LogArg::Pointer(overlapped)}))) {
    return s.Fail(*error);
  }
  const auto cursor = s.fileCursors.find(reinterpret_cast<uintptr_t>(file));
  FileNode* node =
      cursor == s.fileCursors.end() ? nullptr : s.Find(s.fileHandles[cursor->first].first);
  if (node == nullptr) return s.Fail(ERROR_INVALID_HANDLE);
  if (written == nullptr || (buffer == nullptr && toWrite > 0)) return s.Fail(error::kNoAccess);
  *written = 0;
  if (!(cursor->second.access & GENERIC_WRITE)) return s.Fail(ERROR_ACCESS_DENIED);
  std::string& bytes = node->bytes;
  const size_t position = cursor->second.position;
  if (bytes.size() < position + toWrite) bytes.resize(position + toWrite, '\0');
  if (toWrite > 0) bytes.replace(position, toWrite, reinterpret_cast<const char*>(buffer), toWrite);
  cursor->second.position = position + toWrite;
  *written = toWrite;
  return TRUE;
}

BOOL SimMachine::GetFileInformationByHandle(FARPROC proc, HANDLE file,
                                            BY_HANDLE_FILE_INFORMATION* info) {
  State& s = *state_;
  if (auto error = s.Record("GetFileInformationByHandle", JoinArgs({proc, file, LogArg::Pointer(info)}))) {
    return s.Fail(*error);
  }
  if (!s.CheckProc(proc, "kernel32.dll", "GetFileInformationByHandle")) return s.Fail(ERROR_PROC_NOT_FOUND);
  const auto open = s.fileHandles.find(reinterpret_cast<uintptr_t>(file));
  const FileNode* node = open == s.fileHandles.end() ? nullptr : s.Find(open->second.first);
  if (node == nullptr) return s.Fail(ERROR_INVALID_HANDLE);
  if (info == nullptr) return s.Fail(error::kNoAccess);
  *info = BY_HANDLE_FILE_INFORMATION{};
  info->dwFileAttributes = node->attributes;
  // A symbolic link is followed unless the point itself was opened; what it
  // leads to is modelled as a plain file.
  if (!open->second.second) info->dwFileAttributes &= ~DWORD{FILE_ATTRIBUTE_REPARSE_POINT};
  info->nFileSizeLow = static_cast<DWORD>(node->bytes.size());
  info->nNumberOfLinks = node->links;
  return TRUE;
}

BOOL SimMachine::DeleteFileA(const char* path) {
  State& s = *state_;
  if (auto error = s.Record("DeleteFileA", JoinArgs({path}))) return s.Fail(*error);
  if (path == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  DWORD error = 0;
  const std::optional<ResolvedPath> resolved = s.Resolve(path, &error);
  if (!resolved) return s.Fail(error);
  const FileNode* node = s.Find(resolved->key);
  if (node == nullptr) return s.Fail(s.MissingError(*resolved));
  if (node->directory || (node->attributes & FILE_ATTRIBUTE_READONLY)) {
    return s.Fail(ERROR_ACCESS_DENIED);
  }
  if (node->lockError != 0) return s.Fail(node->lockError);
  s.RemoveNode(resolved->key);
  return TRUE;
}

DWORD SimMachine::GetFileAttributesA(const char* path) {
  State& s = *state_;
  if (auto error = s.Record("GetFileAttributesA", JoinArgs({path}))) {
    s.lastError = *error;
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD error = ERROR_INVALID_PARAMETER;
  const std::optional<ResolvedPath> resolved =
      path ? s.Resolve(path, &error) : std::optional<ResolvedPath>();
  if (!resolved) {
    s.lastError = error;
    return INVALID_FILE_ATTRIBUTES;
  }
  const FileNode* node = s.Find(resolved->key);
  if (node == nullptr || (resolved->trailingSeparator && !node->directory)) {
    s.lastError = node ? error::kInvalidName : s.MissingError(*resolved);
    return INVALID_FILE_ATTRIBUTES;
  }
  return ReportedAttributes(*node);
}

BOOL SimMachine::SetFileAttributesA(const char* path, DWORD attributes) {
  State& s = *state_;
  if (auto error = s.Record("SetFileAttributesA", JoinArgs({path, attributes}))) {
    return s.Fail(*error);
  }
  if (path == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  DWORD error = 0;
  const std::optional<ResolvedPath> resolved = s.Resolve(path, &error);
  if (!resolved) return s.Fail(error);
  FileNode* node = s.Find(resolved->key);
  if (node == nullptr) return s.Fail(s.MissingError(*resolved));
  // Another process holding the file open for reading does not stop an
  // attribute change: only data access is shared out.
  node->attributes = attributes & kSettableAttributes;
  return TRUE;
}

HANDLE SimMachine::FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) {
  State& s = *state_;
  const auto fail = [&](DWORD error) {
    s.lastError = error;
    return INVALID_HANDLE_VALUE;
  };
  if (auto error = s.Record("FindFirstFileA", JoinArgs({pattern, LogArg::Pointer(data)}))) {
    return fail(*error);
  }
  if (pattern == nullptr || data == nullptr) return fail(ERROR_INVALID_PARAMETER);
  const std::string_view text(pattern);
  const size_t slash = text.find_last_of("\\/");
  const std::string_view leafPattern = slash == std::string_view::npos ? text : text.substr(slash + 1);
  const bool wildcard = leafPattern.find_first_of("*?") != std::string_view::npos;

  DWORD error = 0;
  std::optional<ResolvedPath> resolved;
  std::string parentKey;
  if (wildcard) {
    const std::string folder(slash == std::string_view::npos ? std::string_view(".")
                                                             : text.substr(0, slash + 1));
    resolved = s.Resolve(folder, &error);
    if (!resolved) return fail(error);
    parentKey = resolved->key;
  } else {
    resolved = s.Resolve(text, &error);
    if (!resolved) return fail(error);
    parentKey = resolved->parentKey;
  }
  if (parentKey.empty() || !s.IsDirectory(parentKey)) return fail(ERROR_PATH_NOT_FOUND);

  const FileNode* found = nullptr;
  std::string foundName;
  if (wildcard) {
    // A folder's listing begins with "." and "..", except at a drive root.
    if (parentKey.size() > 2) {
      for (const char* dot : {".", ".."}) {
        if (WildcardMatch(leafPattern, dot)) {
          found = s.Find(parentKey);
          foundName = dot;
          break;
        }
      }
    }
    for (auto it = s.nodes.begin(); found == nullptr && it != s.nodes.end(); ++it) {
      if (ParentKey(it->first) != parentKey) continue;
      const std::string name = it->second.path.substr(it->second.path.rfind('\\') + 1);
      if (WildcardMatch(leafPattern, name)) {
        found = &it->second;
        foundName = name;
      }
    }
  } else if (!resolved->trailingSeparator && !resolved->leaf.empty()) {
    found = s.Find(resolved->key);
    if (found) foundName = found->path.substr(found->path.rfind('\\') + 1);
  }
  if (found == nullptr) return fail(ERROR_FILE_NOT_FOUND);

  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = ReportedAttributes(*found);
  data->nFileSizeLow = found->directory ? 0 : static_cast<DWORD>(found->bytes.size());
  std::strncpy(data->cFileName, foundName.c_str(), MAX_PATH - 1);
  const uintptr_t handle = s.NewHandleValue();
  s.findHandles[handle] = parentKey;
  return reinterpret_cast<HANDLE>(handle);
}

BOOL SimMachine::FindClose(HANDLE find) {
  State& s = *state_;
  if (auto error = s.Record("FindClose", JoinArgs({find}))) {
    s.lastError = *error;
    return FALSE;
  }
  if (s.findHandles.erase(reinterpret_cast<uintptr_t>(find)) == 0) {
    s.lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  return TRUE;
}

BOOL SimMachine::MoveFileExA(const char* existing, const char* target, DWORD flags) {
  State& s = *state_;
  if (auto error = s.Record("MoveFileExA", JoinArgs({existing, target, flags}))) {
    return s.Fail(*error);
  }
  // The 9x family exports MoveFileExA only as a stub.
  if (s.Is9x()) return s.Fail(error::kCallNotImplemented);
  if (existing == nullptr) return s.Fail(ERROR_INVALID_PARAMETER);
  DWORD error = 0;
  const std::optional<ResolvedPath> from = s.Resolve(existing, &error);
  if (!from) return s.Fail(error);
  std::optional<ResolvedPath> to;
  if (target != nullptr) {
    to = s.Resolve(target, &error);
    if (!to) return s.Fail(error);
  }

  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    if (flags & MOVEFILE_COPY_ALLOWED) return s.Fail(ERROR_INVALID_PARAMETER);
    // Recorded for the session manager; nothing is checked until the restart.
    s.AddPendingMove({existing, target ? target : "", (flags & MOVEFILE_REPLACE_EXISTING) != 0});
    return TRUE;
  }

  const FileNode* source = s.Find(from->key);
  if (source == nullptr) return s.Fail(s.MissingError(*from));
  if (source->lockError != 0) return s.Fail(source->lockError);
  if (!to) {
    return s.Fail(ERROR_INVALID_PARAMETER);  // deletion is only possible at restart
  }
  if (to->parentKey.empty() || !s.IsDirectory(to->parentKey)) return s.Fail(ERROR_PATH_NOT_FOUND);
  if (from->key[0] != to->key[0] && !(flags & MOVEFILE_COPY_ALLOWED)) {
    return s.Fail(kErrorNotSameDevice);
  }
  if (const FileNode* old = s.Find(to->key); old != nullptr && to->key != from->key) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) return s.Fail(ERROR_ALREADY_EXISTS);
    if (old->directory || (old->attributes & FILE_ATTRIBUTE_READONLY)) {
      return s.Fail(ERROR_ACCESS_DENIED);
    }
    if (old->lockError != 0) return s.Fail(old->lockError);
    s.RemoveNode(to->key);
  }
  s.RenameNode(from->key, *to);
  return TRUE;
}

DWORD SimMachine::GetShortPathNameA(const char* longPath, char* buffer, DWORD size) {
  State& s = *state_;
  const auto fail = [&](DWORD error) {
    s.lastError = error;
    return DWORD{0};
  };
  if (auto error = s.Record("GetShortPathNameA",
                            JoinArgs({longPath, LogArg::Pointer(buffer), size}))) {
    return fail(*error);
  }
  if (longPath == nullptr) return fail(ERROR_INVALID_PARAMETER);
  DWORD error = 0;
  const std::optional<ResolvedPath> resolved = s.Resolve(longPath, &error);
  if (!resolved) return fail(error);
  if (s.Find(resolved->key) == nullptr) return fail(s.MissingError(*resolved));
  // Each name as given when it is short already, else the short name of the
  // file or folder it names.
  std::string result = resolved->key.substr(0, 2);
  std::string key = result;
  for (const std::string& part : resolved->parts) {
    key = s.ChildKey(key, part);
    result += "\\" + (IsShortName(part) ? part : ShortAlias(LeafOf(s.Find(key)->path)));
  }
  if (resolved->parts.empty() || resolved->trailingSeparator) result += '\\';
  const auto length = static_cast<DWORD>(result.size());
  if (buffer == nullptr || size <= length) return length + 1;  // the size needed
  std::memcpy(buffer, result.c_str(), length + 1);
  return length;
}

UINT SimMachine::GetDriveTypeA(const char* root) {
  State& s = *state_;
  if (auto error = s.Record("GetDriveTypeA", JoinArgs({root}))) {
    s.lastError = *error;
    return DRIVE_UNKNOWN;
  }
  const std::string text = root ? root : s.CurrentDirectory().substr(0, 3);
  const bool isRoot = (text.size() == 2 || (text.size() == 3 && (text[2] == '\\' || text[2] == '/'))) &&
                      text[1] == ':';
  if (!isRoot) return DRIVE_NO_ROOT_DIR;
  const auto it = s.driveTypes.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text[0]))));
  return it == s.driveTypes.end() ? DRIVE_NO_ROOT_DIR : it->second;
}

// ---- the restart ---------------------------------------------------------------------

void SimMachine::Restart(Shutdown shutdown) {
  State& s = *state_;
  if (shutdown == Shutdown::Orderly) {
    s.FlushProfileCache();
  } else {
    s.profileCache.reset();
  }
  // Whoever held files open is gone.
  for (auto& [key, node] : s.nodes) node.lockError = 0;

  // Moves `source` onto `target`, replacing a file there; an empty target
  // deletes the source. A missing source is passed over, as Windows does.
  const auto carryOut = [&](const std::string& source, const std::string& target, bool replace) {
    DWORD error = 0;
    const std::optional<ResolvedPath> from = s.Resolve(source, &error);
    if (!from || s.Find(from->key) == nullptr) return;
    if (target.empty()) {
      s.RemoveNode(from->key);
      return;
    }
    const std::optional<ResolvedPath> to = s.Resolve(target, &error);
    if (!to || to->parentKey.empty() || !s.IsDirectory(to->parentKey)) return;
    if (const FileNode* old = s.Find(to->key); old != nullptr && to->key != from->key) {
      // Neither family's restart replaces a read-only file.
      if (!replace || old->directory || (old->attributes & FILE_ATTRIBUTE_READONLY)) return;
      s.RemoveNode(to->key);
    }
    s.RenameNode(from->key, *to);
  };
  // WININIT.EXE runs in real mode, where only short names exist: an entry
  // naming a file or folder by its long name is passed over.
  const auto shortNamesOnly = [](const std::string& path) {
    for (size_t start = path.find('\\'); start != std::string::npos;) {
      const size_t end = path.find('\\', start + 1);
      const std::string part = path.substr(start + 1, end - start - 1);
      if (!part.empty() && !IsShortName(part)) return false;
      start = end;
    }
    return true;
  };

  if (s.Is9x()) {
    // WININIT.EXE: each [rename] entry is "target=source", NUL as target
    // deleting the source; then the file is kept as WININIT.BAK.
    const std::string wininit = s.windowsDirectory + "\\WININIT.INI";
    if (const std::optional<std::string> bytes = ReadFile(wininit)) {
      for (const std::string& entry : ProfileSectionEntries(*bytes, "rename")) {
        const size_t equals = entry.find('=');
        if (equals == std::string::npos) continue;
        const std::string target(Trim(std::string_view(entry).substr(0, equals)));
        const std::string source(Trim(std::string_view(entry).substr(equals + 1)));
        if (!shortNamesOnly(source) || !shortNamesOnly(target)) continue;
        carryOut(source, IEquals(target, "NUL") ? std::string() : target, true);
      }
      carryOut(wininit, s.windowsDirectory + "\\WININIT.BAK", true);
    }
  }
  for (const PendingRename& rename : s.PendingMoves()) {
    carryOut(rename.source, rename.target, rename.replaceExisting);
  }
  s.ClearPendingMoves();
}

}  // namespace korvanta::sim
