// The work folder on Linux: POSIX files, names converted from code page 932
// to UTF-8. Only regular files are read or appended to; a FIFO, a device or
// a folder in their place is an error, found without blocking.
#pragma once

#include <filesystem>

#include "base/work_folder.hpp"

namespace tolvex::posix {

class PosixWorkFolder final : public WorkFolder {
 public:
  explicit PosixWorkFolder(std::filesystem::path dir) : dir_(std::move(dir)) {}

  std::unique_ptr<InputFile> OpenRead(std::string_view name, IoError& error) override;
  std::unique_ptr<OutputFile> Create(std::string_view name, IoError& error) override;
  std::unique_ptr<OutputFile> CreateNew(std::string_view name, IoError& error,
                                        bool& taken) override;
  IoError Append(std::string_view name, std::string_view bytes) override;
  IoError Replace(std::string_view from, std::string_view to) override;
  IoError Remove(std::string_view name) override;
  IoError MakeFolder(std::string_view name) override;
  IoError PlaceNew(std::string_view from, std::string_view to, bool& taken) override;

  const std::filesystem::path& Dir() const { return dir_; }
  std::filesystem::path PathOf(std::string_view name) const;

 private:
  std::filesystem::path dir_;
};

}  // namespace tolvex::posix
