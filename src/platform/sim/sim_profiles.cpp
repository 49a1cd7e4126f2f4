// Profile (INI) files, kept as bytes in the simulated file system and edited
// the way Windows edits them: the lines a call does not touch keep their bytes,
// new lines end in CR LF, a new key goes after the last line of its section and
// a new section at the end of the file.
#include <cstring>

#include "platform/sim/sim_state.h"

namespace korvanta::sim {

namespace {

struct Line {
  size_t start = 0;  // first byte
  size_t end = 0;    // one past the last byte before CR LF / LF
  size_t next = 0;   // first byte of the next line
  std::string_view Text(const std::string& bytes) const {
    return std::string_view(bytes).substr(start, end - start);
  }
};

std::vector<Line> SplitLines(const std::string& bytes) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t newline = bytes.find('\n', start);
    const size_t next = newline == std::string::npos ? bytes.size() : newline + 1;
    size_t end = newline == std::string::npos ? bytes.size() : newline;
    if (end > start && bytes[end - 1] == '\r') --end;
    lines.push_back({start, end, next});
    start = next;
  }
  return lines;
}

// The section a header line opens, when it is one: "[name]" with blanks
// allowed around the name.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  const size_t close = line.rfind(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

bool IsEntry(std::string_view line) {
  line = Trim(line);
  return !line.empty() && line.front() != ';';
}

std::string_view KeyOf(std::string_view line) {
  line = Trim(line);
  return Trim(line.substr(0, line.find('=')));
}

// Where a section lies: its header line and the lines of its body.
struct SectionSpan {
  size_t header = 0;
  size_t firstBody = 0;  // index of the first body line
  size_t endBody = 0;    // index one past the last body line (next header or end)
  // Index one past the last non-blank body line; the blank lines after it
  // separate this section from the next one and stay where they are.
  size_t endContent = 0;
};

std::optional<SectionSpan> FindSection(const std::vector<Line>& lines, const std::string& bytes,
                                       std::string_view section) {
  section = Trim(section);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::optional<std::string_view> name = SectionName(lines[i].Text(bytes));
    if (!name || !IEquals(*name, section)) continue;
    SectionSpan span{i, i + 1, i + 1, i + 1};
    while (span.endBody < lines.size() && !SectionName(lines[span.endBody].Text(bytes))) {
      if (!Trim(lines[span.endBody].Text(bytes)).empty()) span.endContent = span.endBody + 1;
      ++span.endBody;
    }
    return span;
  }
  return std::nullopt;
}

// The byte offset after line `index - 1`, where new lines are inserted; a last
// line without a line end gets one first.
size_t InsertionPoint(std::string& bytes, const std::vector<Line>& lines, size_t index) {
  if (index == 0) return 0;
  const Line& line = lines[index - 1];
  if (line.next == line.end) {
    bytes.insert(line.end, "\r\n");
    return line.end + 2;
  }
  return line.next;
}

// Names are written without the blanks around them that the caller passed.
std::string_view WithoutBlanks(std::string_view name) {
  while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  return name;
}

std::string AppendSection(std::string bytes, std::string_view section, const std::string& body) {
  if (!bytes.empty() && bytes.back() != '\n') bytes += "\r\n";
  bytes += "[" + std::string(WithoutBlanks(section)) + "]\r\n" + body;
  return bytes;
}

}  // namespace

std::vector<std::string> ProfileSectionEntries(const std::string& fileBytes, std::string_view section) {
  const std::vector<Line> lines = SplitLines(fileBytes);
  std::vector<std::string> entries;
  if (const std::optional<SectionSpan> span = FindSection(lines, fileBytes, section)) {
    for (size_t i = span->firstBody; i < span->endBody; ++i) {
      const std::string_view text = lines[i].Text(fileBytes);
      if (IsEntry(text)) entries.emplace_back(Trim(text));
    }
  }
  return entries;
}

std::string SimMachine::State::ProfilePath(std::string_view fileName) const {
  // A bare name lives in the Windows directory.
  const bool bare = fileName.find_first_of("\\/") == std::string_view::npos &&
                    !(fileName.size() >= 2 && fileName[1] == ':');
  return bare ? windowsDirectory + "\\" + std::string(fileName) : std::string(fileName);
}

namespace {

// Opens a profile file for a change: the file's node (null for a file not yet
// there) or the error that stops the write.
struct ProfileTarget {
  std::optional<ResolvedPath> path;
  FileNode* node = nullptr;
  DWORD error = 0;
};

ProfileTarget OpenForWrite(SimMachine::State& s, const char* file) {
  ProfileTarget target;
  if (file != nullptr && *file == '\0') {
    target.error = ERROR_ACCESS_DENIED;
    return target;
  }
  target.path = s.Resolve(s.ProfilePath(file ? file : "win.ini"), &target.error);
  if (!target.path) return target;
  s.UseProfile(*target.path);
  if (target.path->parentKey.empty() || !s.IsDirectory(target.path->parentKey)) {
    target.error = ERROR_PATH_NOT_FOUND;
    return target;
  }
  target.node = s.Find(target.path->key);
  if (target.node == nullptr) return target;
  if (target.node->directory || (target.node->attributes & FILE_ATTRIBUTE_READONLY)) {
    target.error = ERROR_ACCESS_DENIED;
  } else if (target.node->lockError != 0) {
    target.error = target.node->lockError;
  }
  return target;
}

void WriteToDisk(SimMachine::State& s, const ResolvedPath& path, const std::string& bytes) {
  if (FileNode* node = s.Find(path.key)) {
    node->bytes = bytes;
    node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
  } else if (s.IsDirectory(path.parentKey)) {
    s.PutFile(path, bytes, FILE_ATTRIBUTE_ARCHIVE);
  }
}

void Store(SimMachine::State& s, ProfileTarget& target, const std::string& bytes) {
  // Windows 9x writes a profile file to disk only when it flushes its cache;
  // NT writes each change through at once.
  if (s.Is9x()) {
    s.profileCache = SimMachine::State::ProfileCache{*target.path, bytes};
  } else {
    WriteToDisk(s, *target.path, bytes);
  }
}

// Deletes a section, header and body, when the file has it.
void RemoveSection(SimMachine::State& s, ProfileTarget& target, std::string_view section) {
  const std::optional<std::string> current = s.ProfileBytes(*target.path);
  if (!current) return;
  std::string bytes = *current;
  const std::vector<Line> lines = SplitLines(bytes);
  const std::optional<SectionSpan> span = FindSection(lines, bytes, section);
  if (!span) return;
  const size_t end = span->endBody < lines.size() ? lines[span->endBody].start : bytes.size();
  bytes.erase(lines[span->header].start, end - lines[span->header].start);
  Store(s, target, bytes);
}

}  // namespace

std::optional<std::string> SimMachine::State::ProfileBytes(const ResolvedPath& path) const {
  if (profileCache && profileCache->path.key == path.key) return profileCache->bytes;
  const FileNode* node = Find(path.key);
  if (node == nullptr || node->directory) return std::nullopt;
  return node->bytes;
}

void SimMachine::State::FlushProfileCache() {
  if (!profileCache) return;
  const ProfileCache cached = std::move(*profileCache);
  profileCache.reset();
  WriteToDisk(*this, cached.path, cached.bytes);
}

DWORD SimMachine::GetPrivateProfileSectionA(const char* section, char* buffer, DWORD size,
                                            const char* file) {
  State& s = *state_;
  if (auto error = s.Record("GetPrivateProfileSectionA",
                            JoinArgs({section, LogArg::Pointer(buffer), size, file}))) {
    s.lastError = *error;
    return 0;
  }
  if (section == nullptr || buffer == nullptr) {
    s.lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const auto emptyResult = [&] {
    if (size >= 1) buffer[0] = '\0';
    if (size >= 2) buffer[1] = '\0';
    return DWORD{0};
  };
  DWORD error = 0;
  const std::optional<ResolvedPath> path = s.Resolve(s.ProfilePath(file ? file : "win.ini"), &error);
  if (path) s.UseProfile(*path);
  const std::optional<std::string> bytes = path ? s.ProfileBytes(*path) : std::nullopt;
  if (!bytes) {
    s.lastError = ERROR_FILE_NOT_FOUND;
    return emptyResult();
  }
  const std::vector<Line> lines = SplitLines(*bytes);
  if (!FindSection(lines, *bytes, section)) return emptyResult();

  std::string joined;
  for (const std::string& entry : ProfileSectionEntries(*bytes, section)) {
    joined += entry;
    joined += '\0';
  }
  s.lastError = ERROR_SUCCESS;
  if (joined.size() + 1 <= size) {
    std::memcpy(buffer, joined.data(), joined.size());
    buffer[joined.size()] = '\0';
    if (joined.empty() && size >= 2) buffer[1] = '\0';
    return static_cast<DWORD>(joined.size());
  }
  if (size < 2) return emptyResult();
  // Too small: the entries are cut to fit, the buffer ends in two zero bytes,
  // and the result is the buffer size less two.
  std::memcpy(buffer, joined.data(), size - 2);
  buffer[size - 2] = '\0';
  buffer[size - 1] = '\0';
  return size - 2;
}

BOOL SimMachine::WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                            const char* file) {
  State& s = *state_;
  if (auto error = s.Record("WritePrivateProfileStringA", JoinArgs({section, key, value, file}))) {
    return s.Fail(*error);
  }
  // All three null: flush the cached copy of the file, which Windows reports
  // with a result of zero, as it does a failure.
  if (section == nullptr && key == nullptr && value == nullptr) {
    s.FlushProfileCache();
    return FALSE;
  }
  if (section == nullptr) return s.Fail(ERROR_FILE_NOT_FOUND);

  ProfileTarget target = OpenForWrite(s, file);
  if (target.error != 0) return s.Fail(target.error);
  if (key == nullptr) {
    RemoveSection(s, target, section);
    return TRUE;
  }
  std::string bytes = s.ProfileBytes(*target.path).value_or(std::string());
  const std::vector<Line> lines = SplitLines(bytes);
  const std::optional<SectionSpan> span = FindSection(lines, bytes, section);

  std::optional<size_t> keyLine;
  if (span) {
    for (size_t i = span->firstBody; i < span->endBody && !keyLine; ++i) {
      const std::string_view text = lines[i].Text(bytes);
      if (IsEntry(text) && IEquals(KeyOf(text), Trim(key))) keyLine = i;
    }
  }

  if (value == nullptr) {  // delete the key
    if (keyLine) {
      bytes.erase(lines[*keyLine].start, lines[*keyLine].next - lines[*keyLine].start);
      Store(s, target, bytes);
    }
    return TRUE;
  }

  if (keyLine) {
    const Line& line = lines[*keyLine];
    const std::string replacement = std::string(KeyOf(line.Text(bytes))) + "=" + value;
    bytes.replace(line.start, line.end - line.start, replacement);
  } else if (span) {
    const size_t at = InsertionPoint(bytes, lines, span->endContent);
    bytes.insert(at, std::string(WithoutBlanks(key)) + "=" + value + "\r\n");
  } else {
    bytes = AppendSection(bytes, section, std::string(WithoutBlanks(key)) + "=" + value + "\r\n");
  }
  Store(s, target, bytes);
  return TRUE;
}

BOOL SimMachine::WritePrivateProfileSectionA(const char* section, const char* entries,
                                             const char* file) {
  State& s = *state_;
  if (auto error = s.Record("WritePrivateProfileSectionA",
                            JoinArgs({section, LogArg::MultiString(entries), file}))) {
    return s.Fail(*error);
  }
  if (section == nullptr && entries == nullptr) {  // flush, as above
    s.FlushProfileCache();
    return TRUE;
  }
  if (section == nullptr) return s.Fail(ERROR_FILE_NOT_FOUND);
  ProfileTarget target = OpenForWrite(s, file);
  if (target.error != 0) return s.Fail(target.error);
  if (entries == nullptr) {
    RemoveSection(s, target, section);
    return TRUE;
  }
  std::string bytes = s.ProfileBytes(*target.path).value_or(std::string());
  const std::vector<Line> lines = SplitLines(bytes);

  // Every entry becomes one line, as given; an entry without "=" is kept too.
  std::string body;
  for (const char* entry = entries; *entry; entry += std::strlen(entry) + 1) {
    body += entry;
    body += "\r\n";
  }
  if (const std::optional<SectionSpan> span = FindSection(lines, bytes, section)) {
    const size_t from = InsertionPoint(bytes, lines, span->firstBody);
    const size_t to = span->endContent > span->firstBody
                          ? SplitLines(bytes)[span->endContent - 1].next
                          : from;
    bytes.replace(from, to - from, body);
  } else {
    bytes = AppendSection(bytes, section, body);
  }
  Store(s, target, bytes);
  return TRUE;
}

}  // namespace korvanta::sim
