#include "support/faulty_folder.hpp"

namespace tolvex::test {
namespace {

constexpr char kInjected[] = "injected failure";

class FaultyInput final : public InputFile {
 public:
  FaultyInput(std::unique_ptr<InputFile> inner, FaultyFolder& folder, std::string name)
      : inner_(std::move(inner)), folder_(folder), name_(std::move(name)) {}
  std::uint64_t Size() const override { return inner_->Size(); }
  IoError ReadAt(std::uint64_t offset, char* buf, std::size_t cap, std::size_t& got) override {
    got = 0;
    if (folder_.Trip(name_, "read")) return kInjected;
    return inner_->ReadAt(offset, buf, cap, got);
  }

 private:
  std::unique_ptr<InputFile> inner_;
  FaultyFolder& folder_;
  std::string name_;
};

class FaultyOutput final : public OutputFile {
 public:
  FaultyOutput(std::unique_ptr<OutputFile> inner, FaultyFolder& folder, std::string name)
      : inner_(std::move(inner)), folder_(folder), name_(std::move(name)) {}
  IoError Write(std::string_view bytes) override {
    if (folder_.Trip(name_, "write")) {
      // A full disk takes part of the bytes, then refuses.
      inner_->Write(bytes.substr(0, bytes.size() / 2));
      return kInjected;
    }
    return inner_->Write(bytes);
  }
  IoError Finish() override {
    IoError error = inner_->Finish();
    if (folder_.Trip(name_, "finish")) return kInjected;
    return error;
  }

 private:
  std::unique_ptr<OutputFile> inner_;
  FaultyFolder& folder_;
  std::string name_;
};

}  // namespace

bool FaultyFolder::Trip(std::string_view name, std::string_view op) {
  if (!onlyName_.empty() && name != onlyName_) return false;
  ++count_;
  if (failAt_ == 0 || count_ != failAt_) return false;
  injected_ = true;
  injectedOp_.assign(op).append(" ").append(name);
  if (crash) throw Crash{injectedOp_};
  return true;
}

std::unique_ptr<InputFile> FaultyFolder::OpenRead(std::string_view name, IoError& error) {
  if (Trip(name, "open")) {
    error = kInjected;
    return nullptr;
  }
  std::unique_ptr<InputFile> file = inner_->OpenRead(name, error);
  if (!file) return nullptr;
  return std::make_unique<FaultyInput>(std::move(file), *this, std::string(name));
}

std::unique_ptr<OutputFile> FaultyFolder::Create(std::string_view name, IoError& error) {
  if (Trip(name, "create")) {
    error = kInjected;
    return nullptr;
  }
  std::unique_ptr<OutputFile> file = inner_->Create(name, error);
  if (!file) return nullptr;
  return std::make_unique<FaultyOutput>(std::move(file), *this, std::string(name));
}

std::unique_ptr<OutputFile> FaultyFolder::CreateNew(std::string_view name, IoError& error,
                                                    bool& taken) {
  taken = false;
  if (Trip(name, "create")) {
    error = kInjected;
    return nullptr;
  }
  std::unique_ptr<OutputFile> file = inner_->CreateNew(name, error, taken);
  if (!file) return nullptr;
  return std::make_unique<FaultyOutput>(std::move(file), *this, std::string(name));
}

IoError FaultyFolder::Append(std::string_view name, std::string_view bytes) {
  if (Trip(name, "append")) return kInjected;  // the contract: nothing of it stays
  return inner_->Append(name, bytes);
}

IoError FaultyFolder::Replace(std::string_view from, std::string_view to) {
  if (Trip(from, "rename")) return kInjected;
  return inner_->Replace(from, to);
}

IoError FaultyFolder::MakeFolder(std::string_view name) {
  if (Trip(name, "mkdir")) return kInjected;
  return inner_->MakeFolder(name);
}

IoError FaultyFolder::PlaceNew(std::string_view from, std::string_view to, bool& taken) {
  taken = false;
  if (Trip(from, "place")) return kInjected;
  return inner_->PlaceNew(from, to, taken);
}

FolderListing FaultyFolder::ListFolder(std::string_view folder, IoError& error) {
  if (Trip(folder, "list")) {
    error = kInjected;
    return {};
  }
  return inner_->ListFolder(folder, error);
}

IoError FaultyFolder::Remove(std::string_view name) {
  if (Trip(name, "remove")) return kInjected;
  return inner_->Remove(name);
}

}  // namespace tolvex::test
