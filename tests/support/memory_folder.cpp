#include "support/memory_folder.hpp"

#include "base/sjis_text.hpp"
#include "support/memory_file.hpp"

namespace tolvex::test {
namespace {

// Appends to the folder's entry by name and holds no reference into the
// map, so the entry may be renamed or removed while it is written.
class MemoryOutput final : public OutputFile {
 public:
  MemoryOutput(MemoryFolder& folder, std::string name) : folder_(folder), name_(std::move(name)) {}
  IoError Write(std::string_view bytes) override {
    folder_.files[name_].append(bytes);
    return std::nullopt;
  }
  IoError Finish() override { return std::nullopt; }

 private:
  MemoryFolder& folder_;
  std::string name_;
};

}  // namespace

std::unique_ptr<InputFile> MemoryFolder::OpenRead(std::string_view name, IoError& error) {
  const auto it = files.find(name);
  if (it == files.end()) {
    error = "no such file";
    return nullptr;
  }
  return std::make_unique<MemoryFile>(it->second);
}

std::unique_ptr<OutputFile> MemoryFolder::Create(std::string_view name, IoError& error) {
  if (name.empty()) {
    error = "empty file name";
    return nullptr;
  }
  files[std::string(name)].clear();
  return std::make_unique<MemoryOutput>(*this, std::string(name));
}

std::unique_ptr<OutputFile> MemoryFolder::CreateNew(std::string_view name, IoError& error,
                                                    bool& taken) {
  taken = Exists(name);
  if (taken) {
    error = "file exists";
    return nullptr;
  }
  privateFiles.insert(std::string(name));
  return Create(name, error);
}

IoError MemoryFolder::Append(std::string_view name, std::string_view bytes) {
  if (name.empty()) return "empty file name";
  files[std::string(name)].append(bytes);
  return std::nullopt;
}

IoError MemoryFolder::Replace(std::string_view from, std::string_view to) {
  const auto it = files.find(from);
  if (it == files.end()) return "no such file";
  if (from == to) return std::nullopt;
  std::string bytes = std::move(it->second);
  files.erase(it);
  files[std::string(to)] = std::move(bytes);
  if (const auto p = privateFiles.find(from); p != privateFiles.end()) {
    privateFiles.erase(p);
    privateFiles.insert(std::string(to));
  }
  return std::nullopt;
}

IoError MemoryFolder::MakeFolder(std::string_view name) {
  folders.insert(std::string(name));
  return std::nullopt;
}

IoError MemoryFolder::PlaceNew(std::string_view from, std::string_view to, bool& taken) {
  taken = Exists(to);
  if (taken) return "file exists";
  return Replace(from, to);
}

// The files whose names are `folder` and one more component; the folders
// of the memory folder are the paths its names spell and those MakeFolder
// made.
FolderListing MemoryFolder::ListFolder(std::string_view folder, IoError& error) {
  FolderListing listing;
  listing.ignoreCase = ignoreCase;
  bool found = folder.empty() || folders.count(std::string(folder.substr(0, folder.size() - 1)));
  for (const auto& [name, bytes] : files) {
    if (name.size() <= folder.size() || name.compare(0, folder.size(), folder) != 0) continue;
    found = true;
    const std::string_view rest = std::string_view(name).substr(folder.size());
    const bool nested = UnicodeNames() ? rest.find_first_of("/\\") != std::string_view::npos
                                       : sjis::FindChar(rest, '/') != sjis::npos ||
                                             sjis::FindChar(rest, '\\') != sjis::npos;
    if (!nested) listing.names.emplace_back(rest);
  }
  if (!found) error = "no such folder";
  listing.unnamed = unnamed;
  return listing;
}

IoError MemoryFolder::Remove(std::string_view name) {
  const auto it = files.find(name);
  if (it != files.end()) files.erase(it);
  if (const auto p = privateFiles.find(name); p != privateFiles.end()) privateFiles.erase(p);
  return std::nullopt;
}

}  // namespace tolvex::test
