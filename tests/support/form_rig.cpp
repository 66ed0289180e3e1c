#include "support/form_rig.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "platform/posix/work_folder.hpp"

namespace tolvex::test {

namespace {

std::filesystem::path MakeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tolvex-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

}  // namespace

FormRig::FormRig(ServerScript script)
    : VirtualPlatform(std::move(script)),
      dir(MakeTempDir()),
      files(std::make_unique<posix::PosixWorkFolder>(dir)) {}

FormRig::~FormRig() {
  std::error_code ignored;
  // LOG.txt may have been made a read-only directory by a test.
  std::filesystem::permissions(dir / "LOG.txt", std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(dir, ignored);
}

void FormRig::WriteCommandFile(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  WriteFile("command.txt", text);
}

void FormRig::WriteSimpleCommandFile(const std::vector<std::string>& extra) {
  std::vector<std::string> lines = {"#HOS=mail.example", "#LOC=desk1",
                                    "#FRO=Sender <from@example.jp>", "#TO=to@example.jp",
                                    "#SUB=Notice"};
  lines.insert(lines.end(), extra.begin(), extra.end());
  lines.push_back("");
  lines.push_back("Body line");
  WriteCommandFile(lines);
}

void FormRig::WriteFile(const std::string& name, const std::string& bytes) {
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string FormRig::ReadFile(const std::string& name) const {
  std::ifstream in(dir / name, std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool FormRig::Exists(const std::string& name) const { return std::filesystem::exists(dir / name); }

PlatformBundle& FormRig::Bundle() {
  if (!bundle_) {
    bundle_.emplace(VirtualPlatform::Bundle(*files, secrets ? *secrets : processSecrets_,
                                            https ? *https : noHttps_, signIns, nullptr, out));
  }
  return *bundle_;
}

void FormRig::Load(bool flushOnly) {
  form = std::make_unique<Form1>(Bundle(), flushOnly);
  loop.Attach(*form);
  form->Form_Load();
  scheduler.Pump();
}

bool FormRig::RunUntilEnded(Millis limit) {
  scheduler.RunUntil(limit);
  return ProcessEnded();
}

std::string FormRig::Record(Millis at, int step, const std::string& reply) {
  VirtualScheduler at_time;
  at_time.RunUntil(at);
  FakeClock clock(at_time);
  return clock.LogDateTime() + " " + std::to_string(step) + " " + reply + "\r\n";
}

std::vector<Millis> FormRig::ConnectTimes() const {
  std::vector<Millis> out;
  for (const auto& call : socket.CallsOf("Connect")) out.push_back(call.at);
  return out;
}

std::vector<Millis> FormRig::ConnectMinutes() const {
  std::vector<Millis> out;
  for (Millis at : ConnectTimes()) out.push_back(at / kMinute);
  return out;
}

int FormRig::LogRecordCount() const {
  const std::string log = Log();
  int n = 0;
  for (std::size_t at = log.find("2026/"); at != std::string::npos; at = log.find("2026/", at + 1))
    ++n;
  return n;
}

std::string SendingCaption() { return "Tolvex(\x91\x97\x90\x4D\x92\x86)"; }
std::string WaitCaption(int minutes) {
  return "\x91\xD2\x8E\x9E\x8A\xD4=" + std::to_string(minutes) + "\x95\xAA";
}
std::string RepeatCaption(int count) {
  return "\x8C\x4A\x95\xD4=" + std::to_string(count) + "\x89\xF1";
}

}  // namespace tolvex::test
