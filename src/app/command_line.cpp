// The shared command line and its help text.
#include "app/command_line.hpp"

#include <utility>
#include <vector>

namespace tolvex {

namespace {

CommandLine Bad(std::string_view before, std::string_view arg, std::string_view after) {
  CommandLine cl{CommandLineAction::Error, false, {}};
  cl.error.append(before).append(arg).append(after);
  return cl;
}

}  // namespace

CommandLine ParseCommandLine(std::span<const std::string_view> args) {
  CommandLine cl;
  if (args.empty()) return cl;
  if (args.size() == 1 && args[0] == "--help") return {CommandLineAction::Help, false, {}};
  if (args.size() == 1 && args[0] == "--version") return {CommandLineAction::Version, false, {}};
  if (args.size() == 1 && args[0] == "--probe") return {CommandLineAction::Probe, false, {}};
  if (args.size() == 1 && args[0] == "--login") return {CommandLineAction::Login, false, {}};
  if (args.size() == 1 && args[0] == "--register-eventlog") {
    return {CommandLineAction::RegisterEventLog, false, {}};
  }
  if (args.size() == 1 && args[0] == "--flush") return {CommandLineAction::Flush, false, {}};
  bool check = false;
  bool raw = false;
  for (std::string_view a : args) {
    if (a == "--check" && !check) {
      check = true;
    } else if (a == "--raw" && !raw) {
      raw = true;
    } else if (a == "--help" || a == "--version" || a == "--check" || a == "--raw" ||
               a == "--probe" || a == "--login" || a == "--register-eventlog" || a == "--flush") {
      return Bad("'", a, "' cannot be combined here");
    } else {
      return Bad("unknown argument '", a, "'");
    }
  }
  if (!check) return {CommandLineAction::Error, false, "'--raw' goes with '--check'"};
  return {CommandLineAction::Check, raw, {}};
}

std::string UsageText(std::string_view program) {
  std::string out = "Usage: ";
  out.append(program).append("\n       ").append(program).append(" --check [--raw]\n       ");
  out.append(program)
      .append(" --probe\n       ")
      .append(program)
      .append(" --login\n       ")
      .append(program)
      .append(" --register-eventlog\n       ")
      .append(" --flush\n       ")
      .append(program)
      .append(" --help | --version\n");
  return out +
         "\n"
         "Sends one mail, once or repeatedly, as described by command.txt in the\n"
         "current directory, to the SMTP server named there (port 25, or submission\n"
         "with #SEC=starttls on 587, #SEC=tls on 465, #POR for another port; AUTH\n"
         "with #USR and #PAS or TOLVEX_PASSWORD), and ends by itself when its last\n"
         "delivery is done.\n"
         "\n"
         "  --check        read command.txt and compose the first message as a run\n"
         "                 would, print the server, the envelope and the message\n"
         "                 (head decoded for reading), and send nothing\n"
         "  --check --raw  the same, with the message's exact bytes\n"
         "  --probe        connect to the server with the configured security and\n"
         "                 print its greeting, EHLO capabilities, TLS version,\n"
         "                 cipher and certificate and AUTH mechanisms; log in with\n"
         "                 the #USR password, send MAIL FROM and every RCPT TO,\n"
         "                 then RSET and QUIT (OAuth: tells whether a token comes,\n"
         "                 never sends it, QUIT after EHLO); sends no mail, shows\n"
         "                 no secret, writes no file; exit 0 when every step was\n"
         "                 accepted, 69 if not\n"
         "  --login        sign the #USR of command.txt in once for OAuth (#OAU):\n"
         "                 prints a URL and a code to enter in a browser, waits\n"
         "                 for the sign-in and stores its refresh token; later\n"
         "                 runs use it instead of a client secret\n"
         "  --register-eventlog  (Windows, once, as administrator) register the\n"
         "                 event source Tolvex so Event Viewer shows the events'\n"
         "                 text; failures go to the Application log (on Linux to\n"
         "                 syslog, facility mail) unless #EVT=off\n"
         "  --flush        send the mail kept in undelivered/ (each .eml with its\n"
         "                 .json) over the server of command.txt, and compose\n"
         "                 nothing; exit 0 when none is left, 75 when some wait,\n"
         "                 69 when some were refused or expired\n"
         "\n"
         "Files in the current directory:\n"
         "  command.txt  the instructions (Shift_JIS, CR LF); read once at start\n"
         "  LOG.txt      one line appended per delivery: date, time, final state\n"
         "               (0 = delivered) and the server's last reply\n"
         "  TEMP.TXT     a copy of the composed message, removed at the end\n"
         "\n"
         "Exit status:\n"
         "  0        every delivery ended normally\n"
         "  64       bad command-line arguments\n"
         "  65       command.txt holds an unusable value or line\n"
         "  66       command.txt or a file it names cannot be read\n"
         "  69       a delivery failed (see LOG.txt)\n"
         "  73       TEMP.TXT or LOG.txt cannot be written\n"
         "  128+N    ended by signal N (SIGINT, SIGTERM, SIGHUP)\n"
         "\n"
         "The command file is described in README.md.\n";
}

std::string VersionText(std::string_view program, const VersionFacts& facts) {
  std::string out(program);
  out.append(" ").append(facts.version).append("\n");
  const std::pair<std::string_view, std::string_view> lines[] = {
      {"commit:   ", facts.commit}, {"built:    ", facts.buildDate}, {"compiler: ", facts.compiler},
      {"TLS:      ", facts.tls},    {"HTTPS:    ", facts.https},
  };
  for (const auto& [label, value] : lines) out.append(label).append(value).append("\n");
  return out;
}

}  // namespace tolvex
