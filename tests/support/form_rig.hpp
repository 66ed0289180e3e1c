// A Form1 wired to the fakes in a fresh temporary work folder: write a
// command.txt, load, run virtual time, inspect files, log and window.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/form1.hpp"
#include "app/submission_setup.hpp"
#include "base/work_folder.hpp"
#include "support/fake_platform.hpp"
#include "support/scripted_https.hpp"
#include "support/virtual_platform.hpp"

namespace tolvex::test {

inline constexpr Millis kMinute = 60000;
inline constexpr Millis kTick = 100;

// The fakes (scheduler, timers, socket, window, clock) are those of
// VirtualPlatform.
class FormRig : public VirtualPlatform {
 public:
  explicit FormRig(ServerScript script = AcceptingServer());
  ~FormRig();
  FormRig(const FormRig&) = delete;
  FormRig& operator=(const FormRig&) = delete;

  // Writes command.txt: the lines joined with CR LF, code page 932 bytes.
  void WriteCommandFile(const std::vector<std::string>& lines);
  // A minimal command file with host and one recipient, plus `extra`
  // directives before the body.
  void WriteSimpleCommandFile(const std::vector<std::string>& extra = {});
  void WriteFile(const std::string& name, const std::string& bytes);
  std::string ReadFile(const std::string& name) const;
  bool Exists(const std::string& name) const;

  // The platform bundle the form gets: the work folder, the secrets and
  // the HTTPS client as set below when it is first asked for.
  PlatformBundle& Bundle();
  // Creates Form1 and runs Form_Load (then delivers pending events);
  // `flushOnly`: as --flush.
  void Load(bool flushOnly = false);
  void RunUntil(Millis until) { scheduler.RunUntil(until); }
  void RunFor(Millis span) { scheduler.RunFor(span); }
  // Runs until the process ends or `limit` is reached; true when it ended.
  bool RunUntilEnded(Millis limit = 24 * 60 * kMinute);

  bool ProcessEnded() const { return window.exitCode.has_value(); }
  // LOG.txt as written, "" when missing.
  std::string Log() const { return ReadFile("LOG.txt"); }
  // The record the fake clock gives for a session ending at `at`.
  static std::string Record(Millis at, int step, const std::string& reply);
  // Times of the connects, in order, and the same in whole minutes.
  std::vector<Millis> ConnectTimes() const;
  std::vector<Millis> ConnectMinutes() const;
  // Records in LOG.txt.
  int LogRecordCount() const;

  std::filesystem::path dir;
  // The work folder the program sees: the real files of `dir`, or a
  // wrapper a test puts in before Load.
  std::unique_ptr<WorkFolder> files;
  // Where the AUTH secret is looked for when command.txt has none; the
  // process environment when null.
  SecretSource* secrets = nullptr;
  // The token endpoint of OAuth runs; one that never answers when null.
  Https* https = nullptr;
  MapSignIns signIns;
  std::ostringstream out;  // what a mode prints
  std::unique_ptr<Form1> form;

 private:
  ProcessSecrets processSecrets_;
  ScriptedHttps noHttps_;
  std::optional<PlatformBundle> bundle_;
};

// Code page 932 caption texts.
std::string SendingCaption();
std::string WaitCaption(int minutes);
std::string RepeatCaption(int count);

}  // namespace tolvex::test
