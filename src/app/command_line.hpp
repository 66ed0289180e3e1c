// The command line both programs share: no arguments runs the job of
// command.txt; "--check" shows what would be sent, without sending;
// "--probe" asks the server what it offers, without sending; "--login"
// signs the user in for OAuth once; "--flush" sends the kept mail only;
// "--register-eventlog" registers the Windows event source once; "--help" and
// "--version" print and exit.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tolvex {

enum class CommandLineAction {
  Run,
  Check,
  Probe,
  Login,
  Flush,
  Help,
  Version,
  RegisterEventLog,
  Error
};

struct CommandLine {
  CommandLineAction action = CommandLineAction::Run;
  bool raw = false;   // --check --raw: the exact bytes of the message
  std::string error;  // for Error: what was wrong, one line
};

CommandLine ParseCommandLine(std::span<const std::string_view> args);

// The --help text; `program` is the name to show ("tolvex", "tolvex.exe").
std::string UsageText(std::string_view program);

// What --version prints after "<program> <version>": how this program was
// built and what its TLS and HTTPS run on. Each main fills it in: the
// commit and date from the build, the libraries from its platform.
struct VersionFacts {
  std::string_view version;
  std::string_view commit;     // `git describe --always --dirty`, or "unknown"
  std::string_view buildDate;  // YYYY-MM-DD, UTC
  std::string_view compiler;   // kCompilerText
  std::string tls;             // "OpenSSL 3.0.17", "SChannel (Windows 10.0.19045)"
  std::string https;
};

// The compiler that compiles the file including this header (each main).
#define TOLVEX_TEXT_OF(x) #x
#define TOLVEX_TEXT(x) TOLVEX_TEXT_OF(x)
#if defined(__clang__)
#define TOLVEX_COMPILER                                                                   \
  "Clang " TOLVEX_TEXT(__clang_major__) "." TOLVEX_TEXT(__clang_minor__) "." TOLVEX_TEXT( \
      __clang_patchlevel__)
#elif defined(__GNUC__)
#define TOLVEX_COMPILER \
  "GCC " TOLVEX_TEXT(__GNUC__) "." TOLVEX_TEXT(__GNUC_MINOR__) "." TOLVEX_TEXT(__GNUC_PATCHLEVEL__)
#else
#define TOLVEX_COMPILER "unknown"
#endif
#if defined(__MINGW64_VERSION_MAJOR)
#define TOLVEX_COMPILER_RUNTIME \
  " (MinGW-w64 " TOLVEX_TEXT(__MINGW64_VERSION_MAJOR) "." TOLVEX_TEXT(__MINGW64_VERSION_MINOR) ")"
#else
#define TOLVEX_COMPILER_RUNTIME ""
#endif
inline constexpr std::string_view kCompilerText = TOLVEX_COMPILER TOLVEX_COMPILER_RUNTIME;
#undef TOLVEX_COMPILER_RUNTIME
#undef TOLVEX_COMPILER
#undef TOLVEX_TEXT
#undef TOLVEX_TEXT_OF

// "<program> <version>" (scripts read this first line), then the facts,
// one a line.
std::string VersionText(std::string_view program, const VersionFacts& facts);

}  // namespace tolvex
