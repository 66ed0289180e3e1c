// The small platform surface that run control and the SMTP session drive.
// Linux and Windows each implement it; tests implement it with fakes and
// virtual time. Every call and every event happens on one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/failure.hpp"

namespace tolvex {

// A periodic timer whose ticks arrive on the event thread while enabled.
// The period is fixed by whoever creates it (60000 ms or 100 ms in the
// shipped program).
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
};

// Receives the socket's events, delivered between timer ticks, never nested.
class SocketEvents {
 public:
  virtual ~SocketEvents() = default;
  virtual void WSOCK_Connect() = 0;
  virtual void WSOCK_DataArrival(std::int32_t bytesWaiting) = 0;
  virtual void WSOCK_SendComplete() = 0;
};

// One TCP client socket. Connect and the sends return at once and report
// through SocketEvents. A failed connect raises no event.
class Socket {
 public:
  static constexpr std::int16_t kStateConnected = 7;

  virtual ~Socket() = default;
  virtual void SetLocalPort(std::int32_t port) = 0;
  virtual void SetRemotePort(std::int32_t port) = 0;
  virtual void SetRemoteHost(const std::string& host) = 0;
  virtual void Connect() = 0;
  virtual std::int16_t State() const = 0;
  // Queues a command text (copied); one WSOCK_SendComplete follows once the
  // last byte has been handed to the network.
  virtual void SendData(std::string text) = 0;
  // Queues the composed message with SMTP transparency applied on the wire:
  // a "." at the start of the data or after CR LF is doubled, except in the
  // final "." CR LF terminator. The bytes are not copied: `mail` must stay
  // alive and unchanged until WSOCK_SendComplete or Close.
  virtual void SendMessageData(std::string_view mail) = 0;
  // Replaces `out` with up to maxBytes waiting bytes and consumes them.
  virtual void GetData(std::string& out, std::int32_t maxBytes) = 0;
  // Closes the connection; no further event of it is delivered.
  virtual void Close() = 0;
};

// The main window and what stands in for it (a terminal status line on
// Linux). Texts are code page 932.
class Window {
 public:
  virtual ~Window() = default;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual void HideDebugButton() = 0;
  virtual void ShowMinimized() = 0;
  virtual void Hide() = 0;
  virtual void AddTrayIcon() = 0;
  virtual void DeleteTrayIcon() = 0;
  // Shows one failure to the user (a line on standard error, a message box).
  virtual void ReportFailure(const Failure& failure) = 0;
  // Ends the process's event loop; the program exits with `exitCode` once
  // the current handler has returned. Nothing runs after it.
  virtual void EndProcess(int exitCode) = 0;
};

// Local date and time text for the log record, in the platform's formats.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::string LogDateTime() = 0;
};

}  // namespace tolvex
