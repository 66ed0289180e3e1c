// The work folder on Windows: names from code page 932 to UTF-16 for the
// wide file API, so they open on any system locale; a folder or a device
// (CON, NUL, a pipe) in a file's place is an error. Files are opened so that
// others may still read, rename or delete them.
#pragma once

#include "platform/work_folder.hpp"

namespace tolvex::win {

using WinWorkFolder = NativeWorkFolder;

}  // namespace tolvex::win
