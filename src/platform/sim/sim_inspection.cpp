// Whole-machine inspection: what the process still holds, and every place an
// installer can change with what it holds, so that two runs can be compared
// place by place.
#include <cstdio>

#include "platform/sim/sim_state.h"

namespace korvanta::sim {

namespace {

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

bool IsProfileFile(const FileNode& node) {
  return !node.directory && node.path.size() > 4 && IEquals(node.path.substr(node.path.size() - 4), ".ini");
}

// A profile file entry by entry: each line of a section is named by its key
// (a comment line by its whole text), numbered when the key repeats.
void AddProfilePlaces(const FileNode& node, std::map<std::string, std::string>& places) {
  const std::string file = "profile " + node.path;
  places[file];
  std::string section;
  std::map<std::string, int> seen;
  size_t start = 0;
  while (start < node.bytes.size()) {
    size_t newline = node.bytes.find('\n', start);
    if (newline == std::string::npos) newline = node.bytes.size();
    const std::string_view line = Trim(std::string_view(node.bytes).substr(start, newline - start));
    start = newline + 1;
    if (line.empty()) continue;
    if (line.front() == '[' && line.find(']') != std::string_view::npos) {
      section = Upper(Trim(line.substr(1, line.find(']') - 1)));
      places[file + " [" + section + "]"];
      continue;
    }
    const size_t equals = line.front() == ';' ? std::string_view::npos : line.find('=');
    const std::string key = Upper(Trim(line.substr(0, equals)));
    const std::string value(equals == std::string_view::npos ? std::string_view()
                                                             : Trim(line.substr(equals + 1)));
    const std::string name = file + " [" + section + "] " + key;
    places[name + " #" + std::to_string(seen[name]++)] = value;
  }
}

void AddKeyPlaces(const RegKey& key, const std::string& path,
                  std::map<std::string, std::string>& places) {
  places["key " + path];
  for (const auto& [name, value] : key.values) {
    places["value " + path + " : " + name] = std::to_string(value.type) + ":" + Hex(value.bytes);
  }
  if (key.dacl || key.daclProtected) {
    places["access " + path] = (key.dacl ? Hex(key.daclBytes) : "no list") +
                               (key.daclProtected ? " protected" : "");
  }
  for (const auto& [upper, subkey] : key.subkeys) {
    if (!subkey->deleted) AddKeyPlaces(*subkey, path + "\\" + subkey->name, places);
  }
}

}  // namespace

int SimMachine::PlannedFaultCount() const { return static_cast<int>(state_->faults.size()); }

UINT SimMachine::ErrorMode() const { return state_->errorMode; }

SimMachine::OpenResources SimMachine::Resources() const {
  const State& s = *state_;
  OpenResources open;
  open.registryKeys = static_cast<int>(s.regHandles.size());
  open.libraries = LoadedLibraryCount();
  open.processHandles = static_cast<int>(s.processHandles.size());
  open.snapshots = static_cast<int>(s.snapshots.size());
  open.findHandles = static_cast<int>(s.findHandles.size());
  open.files = static_cast<int>(s.fileHandles.size());
  open.deviceInfoSets = static_cast<int>(s.deviceSets.size());
  for (const auto& [block, info] : s.blocks) {
    switch (info.kind) {
      case MemoryBlock::Kind::Heap: ++open.heapBlocks; break;
      case MemoryBlock::Kind::Local: ++open.localMemory; break;
      case MemoryBlock::Kind::Sid: ++open.sids; break;
    }
  }
  return open;
}

std::string SimMachine::OpenResources::Describe() const {
  const std::pair<int, const char*> kinds[] = {
      {registryKeys, "registry keys"},  {libraries, "libraries"},
      {processHandles, "process handles"}, {snapshots, "snapshots"},
      {findHandles, "find handles"},    {deviceInfoSets, "device information sets"},
      {heapBlocks, "heap blocks"},      {localMemory, "local memory blocks"},
      {sids, "SIDs"},                   {files, "files"}};
  std::string text;
  for (const auto& [count, name] : kinds) {
    if (count == 0) continue;
    if (!text.empty()) text += ", ";
    text += std::to_string(count) + " " + name;
  }
  return text.empty() ? "nothing" : text;
}

std::map<std::string, std::string> SimMachine::Places() const {
  const State& s = *state_;
  std::map<std::string, std::string> places;

  for (const auto& [key, node] : s.nodes) {
    if (node.directory) {
      places["folder " + node.path];
    } else if (IsProfileFile(node)) {
      AddProfilePlaces(node, places);
    } else {
      places["file " + node.path] = node.bytes;
      char attributes[16];
      std::snprintf(attributes, sizeof attributes, "%#x", static_cast<unsigned>(node.attributes));
      places["attributes " + node.path] = attributes;
    }
  }

  static const std::pair<HKEY, const char*> kRoots[] = {{HKEY_CLASSES_ROOT, "HKCR"},
                                                         {HKEY_CURRENT_USER, "HKCU"},
                                                         {HKEY_LOCAL_MACHINE, "HKLM"},
                                                         {HKEY_USERS, "HKU"}};
  for (const auto& [root, name] : kRoots) {
    if (const std::shared_ptr<RegKey> key = s.RootKey(root)) AddKeyPlaces(*key, name, places);
  }

  // The session manager's list appears rename by rename, so that a run that
  // schedules fewer of them changes no place that the full run would not.
  places.erase("value HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager : "
               "PendingFileRenameOperations");
  for (const PendingRename& rename : s.PendingMoves()) {
    std::string& count = places["rename " + rename.source + " -> " + rename.target +
                                (rename.replaceExisting ? " (replace)" : "")];
    count = std::to_string(count.empty() ? 1 : std::stoi(count) + 1);
  }

  if (s.profileCache) places["unflushed " + s.profileCache->path.key] = s.profileCache->bytes;

  for (const SimDevice& device : s.devices) {
    places["device " + Upper(device.instanceId)] =
        "ids " + Hex(device.hardwareIdsMultiSz) + (device.present ? " present" : " absent") +
        " driver " + device.driverInf + " updates " + std::to_string(device.driverUpdates);
  }
  return places;
}

}  // namespace korvanta::sim
