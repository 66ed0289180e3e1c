// The work folder on disk, declared once for both platforms and defined by
// each in its own work_folder.cpp (names from code page 932 to what its file
// API takes). Only regular files are read or appended to; anything else in
// their place is an error, found without blocking.
#pragma once

#include <filesystem>

#include "base/work_folder.hpp"

namespace tolvex {

class NativeWorkFolder final : public WorkFolder {
 public:
  explicit NativeWorkFolder(std::filesystem::path dir) : dir_(std::move(dir)) {}

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

  const std::filesystem::path& Dir() const { return dir_; }
  std::filesystem::path PathOf(std::string_view name) const;

 private:
  std::filesystem::path dir_;
};

}  // namespace tolvex
