// A work folder that fails on purpose: it passes every call to the real one
// and makes the Nth file operation (open, read, write, finish, append,
// rename or delete, counted together) fail, like a full disk or a lost
// file would. Runs with N = 1, 2, 3, ... reach every failure point in turn.
#pragma once

#include <memory>
#include <string>

#include "base/work_folder.hpp"

namespace tolvex::test {

class FaultyFolder final : public WorkFolder {
 public:
  // `failAt` 0 never fails; `onlyName`, when set, limits the counting to
  // operations on that file.
  FaultyFolder(std::unique_ptr<WorkFolder> inner, int failAt, std::string onlyName = {})
      : inner_(std::move(inner)), failAt_(failAt), onlyName_(std::move(onlyName)) {}

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

  // Operations counted so far, and whether the failure has been injected.
  int Count() const { return count_; }
  bool Injected() const { return injected_; }
  // The operation that failed and its file ("remove TEMP.TXT"), once it has.
  const std::string& InjectedOp() const { return injectedOp_; }

  // True (and counts) when this operation (`op` on `name`) is the one to fail.
  bool Trip(std::string_view name, std::string_view op);

  // With `crash` set the Nth operation does not fail but throws Crash: the
  // run stops dead there, as a process killed at that step would.
  struct Crash {
    std::string op;
  };
  bool crash = false;

 private:
  std::unique_ptr<WorkFolder> inner_;
  int failAt_;
  std::string onlyName_;
  int count_ = 0;
  bool injected_ = false;
  std::string injectedOp_;
};

}  // namespace tolvex::test
