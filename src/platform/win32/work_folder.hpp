// The work folder on Windows: names from code page 932 to UTF-16 for the
// wide file API, so they open on any system locale. Only regular disk files
// are read or appended to; a folder or a device (CON, NUL, a pipe) in their
// place is an error. Files are opened so that others may still read,
// rename or delete them.
#pragma once

#include <filesystem>

#include "base/work_folder.hpp"

namespace tolvex::win {

class WinWorkFolder final : public WorkFolder {
 public:
  explicit WinWorkFolder(std::filesystem::path dir) : dir_(std::move(dir)) {}

  std::unique_ptr<InputFile> OpenRead(std::string_view name, IoError& error) override;
  std::unique_ptr<OutputFile> Create(std::string_view name, IoError& error) override;
  std::unique_ptr<OutputFile> CreateNew(std::string_view name, IoError& error,
                                        bool& taken) override;
  IoError Append(std::string_view name, std::string_view bytes) override;
  IoError Replace(std::string_view from, std::string_view to) override;
  IoError Remove(std::string_view name) override;
  IoError MakeFolder(std::string_view name) override;
  IoError PlaceNew(std::string_view from, std::string_view to, bool& taken) override;

  std::filesystem::path PathOf(std::string_view name) const;

 private:
  std::filesystem::path dir_;
};

}  // namespace tolvex::win
