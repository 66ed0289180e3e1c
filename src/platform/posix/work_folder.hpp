// The work folder on Linux: POSIX files, names converted from code page 932
// to UTF-8; a FIFO, a device or a folder in a file's place is found without
// blocking.
#pragma once

#include "platform/work_folder.hpp"

namespace tolvex::posix {

using PosixWorkFolder = NativeWorkFolder;

}  // namespace tolvex::posix
