// A work folder held in memory: a map of file name to bytes. Reads see the
// bytes a file had when it was opened; a file being written shows its bytes
// as they are written. For fuzz targets and tests that need no disk.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "base/work_folder.hpp"

namespace tolvex::test {

class MemoryFolder final : public WorkFolder {
 public:
  std::unique_ptr<InputFile> OpenRead(std::string_view name, IoError& error) override;
  std::unique_ptr<OutputFile> Create(std::string_view name, IoError& error) override;
  std::unique_ptr<OutputFile> CreateNew(std::string_view name, IoError& error,
                                        bool& taken) override;
  IoError Append(std::string_view name, std::string_view bytes) override;
  IoError Replace(std::string_view from, std::string_view to) override;
  IoError Remove(std::string_view name) override;
  IoError MakeFolder(std::string_view name) override;
  IoError PlaceNew(std::string_view from, std::string_view to, bool& taken) override;
  FolderListing ListFolder(std::string_view folder, IoError& error) override;

  bool Exists(std::string_view name) const { return files.find(name) != files.end(); }

  // Names are compared byte for byte, as the command file writes them.
  std::map<std::string, std::string, std::less<>> files;
  std::set<std::string, std::less<>> folders;
  // What ListFolder says of the names: ASCII case ignored, and how many
  // names had no form in the command file's encoding.
  bool ignoreCase = false;
  std::size_t unnamed = 0;
  // Files made by CreateNew: private to their owner.
  std::set<std::string, std::less<>> privateFiles;
};

}  // namespace tolvex::test
