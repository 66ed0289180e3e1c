// What every mode of the program (the run, --check, --probe, --login)
// receives from the platform, in one bundle each main builds: the work
// folder, the window, the clock, the timers and the socket with the event
// loop that delivers their events, the secrets, the HTTPS client, the
// sign-in store, the cryptography, the browser, the output and the event
// log. RunProgram hands it to the mode the command line asks for; no mode
// wires the platform itself.
#pragma once

#include <functional>
#include <ostream>

#include "app/message_view.hpp"
#include "base/browser_sign_in.hpp"
#include "base/crypto.hpp"
#include "base/event_log.hpp"
#include "base/https.hpp"
#include "base/platform.hpp"
#include "base/sign_in_store.hpp"
#include "base/submission.hpp"
#include "base/work_folder.hpp"

namespace tolvex {

// What the platform's event loop delivers to the mode it runs (run
// control, --probe): the timers' ticks, the socket's events, and the end
// of the run asked for from outside.
class LoopEvents : public SocketEvents {
 public:
  virtual void tmrWait_Timer() {}
  virtual void tmrMore_Timer() {}
  virtual void tmrSMTP_Timer() = 0;
  // A termination request: a signal on Linux, Ctrl+C on Windows; the exit
  // status is 128 + its number.
  virtual void Terminate(int exitCode) { (void)exitCode; }
  // The window closed by the user, or Windows shutting down.
  virtual void Form_Unload() {}
  // The tray icon's menu: Exit.
  virtual void menuExit_Click() {}
  virtual bool Ended() const = 0;
  virtual int ExitStatus() const = 0;
};

// The platform's event loop: one thread, one event at a time.
class EventLoop {
 public:
  virtual ~EventLoop() = default;
  // Runs `first`, then delivers every event to `events` until the process
  // is ended (Window::EndProcess) or `events` has ended after an event.
  // Returns the exit status.
  virtual int Run(LoopEvents& events, const std::function<void()>& first) = 0;
};

struct PlatformBundle {
  WorkFolder& files;  // the current directory: command.txt, TEMP.TXT, LOG.txt
  Window& window;     // the main window of a run; elsewhere what reports failures
  Clock& clock;
  Timer& tmrWait;  // 60 000 ms
  Timer& tmrMore;  // 60 000 ms
  Timer& tmrSMTP;  // 100 ms
  Socket& socket;
  EventLoop& loop;
  SecretSource& secrets;   // AUTH and client secrets not in command.txt
  Https& https;            // OAuth token requests
  SignInStore& signIns;    // the sign-ins of tolvex --login
  Crypto& crypto;          // PKCE's random bytes and digest, a service account's signature
  BrowserSignIn* browser;  // --login in a browser; none: the device code only
  std::ostream& out;       // what --check, --probe and --login print (UTF-8)
  std::ostream& bytes;     // --check --raw: the message's bytes, unchanged
  DisplayText display;     // code page 932 text as `out` takes it
  EventLog& events;        // failures where administrators look: syslog, the Event Log
  std::string folder;      // the work folder's full path in UTF-8, as events name it
};

}  // namespace tolvex
