// The files of the work folder behind one interface: command.txt, the text
// and part files, attachments, the spool file TEMP.TXT and LOG.txt. Names
// are code page 932 text as the command file writes them; relative names
// resolve in the work folder. Each platform implements it; tests wrap it to
// inject failures.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex {

// Why a file operation failed, as one line of text; empty on success.
using IoError = std::optional<std::string>;

// A regular file opened for reading. Its size is taken when it is opened;
// reads never go past it, so a file that grows meanwhile is read to that
// size, and one that shrinks is reported.
class InputFile {
 public:
  virtual ~InputFile() = default;
  virtual std::uint64_t Size() const = 0;
  // Reads up to `cap` bytes at `offset` into `buf`; `got` is 0 at the end
  // of the file.
  virtual IoError ReadAt(std::uint64_t offset, char* buf, std::size_t cap, std::size_t& got) = 0;
};

// The regular files of one folder, as ListFolder finds them.
struct FolderListing {
  // Names in the command file's encoding (code page 932, or UTF-8 under
  // UnicodeNames), in no particular order.
  std::vector<std::string> names;
  // Names that have no form in that encoding, left out.
  std::size_t unnamed = 0;
  // Whether the file system compares names without regard to ASCII case.
  bool ignoreCase = false;
};

// A file being written from its start.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual IoError Write(std::string_view bytes) = 0;
  // Flushes and closes; a failure here means the file is incomplete.
  virtual IoError Finish() = 0;
};

class WorkFolder {
 public:
  virtual ~WorkFolder() = default;
  // Opens a regular file for reading. A folder, a device, a pipe or a
  // name that cannot be resolved gives an error naming what it is.
  virtual std::unique_ptr<InputFile> OpenRead(std::string_view name, IoError& error) = 0;
  // Creates the file, or empties it, for writing. A link at the name is
  // never written through: a symbolic link or a file with a second name is
  // taken away and a file of this folder's own made in its place.
  virtual std::unique_ptr<OutputFile> Create(std::string_view name, IoError& error) = 0;
  // Creates a new file that only its owner may read or write. Any name
  // already there, a link included, sets `taken` and stays as it is.
  // Finish writes the bytes through to the disk before closing.
  virtual std::unique_ptr<OutputFile> CreateNew(std::string_view name, IoError& error,
                                                bool& taken) = 0;
  // Appends `bytes` with one write. On failure the file keeps exactly the
  // bytes it had.
  virtual IoError Append(std::string_view name, std::string_view bytes) = 0;
  // Renames `from` to `to`, replacing `to` in one step.
  virtual IoError Replace(std::string_view from, std::string_view to) = 0;
  // Deletes the file; one that does not exist is no error.
  virtual IoError Remove(std::string_view name) = 0;
  // Creates the folder, open to its owner only; one that exists already is
  // no error.
  virtual IoError MakeFolder(std::string_view name) = 0;
  // Renames `from` to `to` in one step, never replacing a file: when `to`
  // exists, nothing changes, `taken` is set and the error says so.
  virtual IoError PlaceNew(std::string_view from, std::string_view to, bool& taken) = 0;
  // The regular files (and links to them) directly in `folder`, written
  // as the command file writes a path up to and with its last separator
  // ("logs/", "" for the work folder itself).
  virtual FolderListing ListFolder(std::string_view folder, IoError& error) = 0;

  // Names from a UTF-8 or UTF-16 command file are UTF-8, opened by their
  // Unicode names; set once the command file has been read.
  void SetUnicodeNames(bool on) { unicodeNames_ = on; }
  bool UnicodeNames() const { return unicodeNames_; }

 private:
  bool unicodeNames_ = false;
};

// Reads exactly `n` bytes at `offset`; an end of file before them is
// reported as the file having shrunk.
IoError ReadExactly(InputFile& file, std::uint64_t offset, char* buf, std::size_t n);

}  // namespace tolvex
