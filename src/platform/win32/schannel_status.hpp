// Short, readable names of the SSPI status codes SChannel returns, for the
// failure reasons of the TLS session (they end up in the log line).
#pragma once

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <windows.h>
// after windows.h
#include <security.h>

#include <string>

namespace tolvex::win {

// "illegal message", "no common cipher", ...; others as
// "SChannel error 0x80090326".
std::string StatusName(SECURITY_STATUS status);

}  // namespace tolvex::win
