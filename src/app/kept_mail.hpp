// Kept mail: the sidecar beside each kept undelivered/<name>.eml
// (<name>.json: the envelope and the message's history), the folder's scan
// that repairs a step a stopped run left half done, and the pair's moves.
// Pure over WorkFolder; the times are the Clock's local times.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.hpp"
#include "base/platform.hpp"
#include "base/run_state.hpp"
#include "base/work_folder.hpp"

namespace tolvex {

inline constexpr char kRefusedFolder[] = "undelivered/refused";
inline constexpr char kExpiredFolder[] = "undelivered/expired";

// What a kept message is sent again with, as the run state held it: the
// address texts as written (code page 932, or UTF-8 under that charset).
struct KeptEnvelope {
  std::string from;
  std::vector<std::string> to;  // To, then Cc, then Bcc
  int cc = 0;                   // of `to`, the Cc addresses before the Bcc ones
  int bcc = 0;                  // of `to`, the last ones
  // The Bcc list as one text (a mail API's Bcc line is made from it): as
  // written in the job, or the Bcc addresses joined by ", " when read back.
  std::string bccList;
  std::string smtpUtf8Address;  // the address that needs SMTPUTF8; empty: none
  MessageCharset charset = MessageCharset::Iso2022Jp;
  std::string stampLines;  // the message's Date and Message-ID lines (#DSN's ENVID)
};

struct KeptSidecar {
  KeptEnvelope envelope;
  LocalTime firstTried;
  int attempts = 0;
  int lastState = 0;        // the LOG.txt state of the last failure
  std::string lastFailure;  // its text, secrets masked
  // The message's bytes were going to the server when the sidecar was last
  // written: whether the server took them is not known.
  bool sending = false;
};

// The run state's envelope, and put back into the run state.
KeptEnvelope EnvelopeOf(const RunState& st);
void PutEnvelope(const KeptEnvelope& envelope, RunState& st);

std::string SidecarText(const KeptSidecar& sidecar);
std::optional<KeptSidecar> ReadSidecarText(std::string_view text);

// "x.eml" -> "x.json".
std::string SidecarName(std::string_view emlName);

// Writes the sidecar under a temporary name, flushed, then gives it `name`
// in one step: a new name that replaces nothing, or (`replace`) the name
// of the sidecar it rewrites.
Status WriteSidecar(WorkFolder& files, const std::string& name, const KeptSidecar& sidecar,
                    bool replace);

struct KeptMessage {
  std::string eml;  // "undelivered/x.eml"
  std::string json;
  KeptSidecar sidecar;
};

// The kept messages with a sidecar, oldest first (first try, then name).
// Repairs on the way: a sidecar's temporary left by a stopped rewrite goes;
// a sidecar whose .eml is gone (a removal stopped after the .eml) goes; an
// .eml whose sidecar a stopped move has put in refused/ or expired/
// follows it. An .eml without any sidecar is left alone, and so is a
// sidecar that cannot be read (named in `unread`).
struct KeptScan {
  std::vector<KeptMessage> messages;
  std::vector<std::string> unread;
};
KeptScan ScanKept(WorkFolder& files);

// Moves the pair into `folder` (kRefusedFolder, kExpiredFolder): the
// sidecar first, then the .eml.
Status MoveKept(WorkFolder& files, const KeptMessage& kept, std::string_view folder);
// Removes the pair of a delivered message: the .eml first, then the sidecar.
Status RemoveKept(WorkFolder& files, const KeptMessage& kept);

// Seconds from `from` to `to`, each with its own UTC offset.
std::int64_t SecondsBetween(const LocalTime& from, const LocalTime& to);

}  // namespace tolvex
