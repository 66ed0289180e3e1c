// The run state of the main window: every subsystem reads and writes it by
// these names; the SMTP session keeps its own (smtpSTEP, RecvData,
// SendBusy). Integers are 16-bit signed like the counters they model; texts
// are code page 932 byte strings, the message's own texts UTF-8 when its
// charset is.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/event_log.hpp"
#include "base/mail_data.hpp"
#include "base/submission.hpp"
#include "base/text_encoding.hpp"

namespace tolvex {

inline constexpr int kMaxRecipients = 100;
inline constexpr int kMaxFiles = 10;

using FileListArray = std::array<std::string, kMaxFiles + 1>;

struct RunState {
  std::int16_t WaitMinutes = 0;                          // minutes left before the first send
  std::int16_t MoreCount = 0;                            // sends still allowed
  std::int16_t MoreInterval = 0;                         // minutes between sends; 0 = send once
  bool DeleteCommandFile = false;                        // delete command.txt at unload
  std::string FormMode;                                  // window mode from "#FOR"
  std::string LocalName;                                 // name sent after "HELO "
  std::string FromAddr;                                  // sender; "DummySender" after start-up
  std::string ToList;                                    // recipients as written, "," separated
  std::array<std::string, kMaxRecipients + 1> ToAddr{};  // 1..ToCount, trimmed
  std::int16_t ToCount = 0;
  // "#CC=" and "#BCC=": the lists as written; their addresses follow the To
  // addresses in ToAddr (CcCount Cc, then BccCount Bcc, all within ToCount).
  std::string CcList;
  std::string BccList;
  // The first address whose local part is not ASCII (code page 932): the
  // message goes only where the server offers SMTPUTF8. Empty: none.
  std::string SmtpUtf8Address;
  std::int16_t CcCount = 0;
  std::int16_t BccCount = 0;
  // "#RTY=<retries>,<minutes>": a delivery that fails for the time being
  // is tried again; RetryOn also keeps an undelivered message as a file.
  bool RetryOn = false;
  std::int16_t RetryCount = 0;
  std::int16_t RetryMinutes = 0;
  // "#EVT=": what goes to syslog or the Event Log.
  EventsWanted Events = EventsWanted::Failures;
  // "#QUE=<days>": kept mail is sent first at each send cycle, for this
  // many days from its first try (0: never); QueueLine also keeps a
  // message whose only attempt failed for the time being.
  bool QueueLine = false;
  std::int16_t QueueDays = 7;
  std::string SubjectLine;   // encoded "Subject: " line with CR LF
  std::string ReplyToLine;   // "Reply-To: " line with CR LF
  std::string BodyText;      // body as sent: ISO-2022-JP, or Base64 lines of UTF-8
  std::string TextFileData;  // text file read at start-up
  FileListArray FileList{};  // 1..FileCount
  std::int16_t FileCount = 0;
  // Each "*" or "?" pattern of the file list and what it expanded to,
  // UTF-8 text for --check.
  std::vector<std::string> FileExpansions;
  // "#HTM=": the HTML alternative as sent (UTF-8), and its inline images:
  // each file's name as the folder takes it, in the order of their cids.
  bool HtmlFlag = false;
  std::string HtmlText;
  std::vector<std::string> HtmlImages;
  bool AttachFlag = false;  // Base64 attachments
  bool MultiFlag = false;   // body assembled from part files
  bool MailMode = false;    // directive section is over
  MailSpool MailData;       // composed message (its spool copy), sent after DATA
  std::string StampLines;   // "Date:" and "Message-ID:" lines of this send
  Submission Submit;        // port, TLS and AUTH settings
  TextEncoding CommandEncoding = TextEncoding::ShiftJis;  // how command.txt was written
  MessageCharset Charset = MessageCharset::Iso2022Jp;     // the message's charset ("#CHR")
  std::string CharsetReason;                              // why, in UTF-8, for --check
  std::size_t CharsetLost = 0;                            // characters sent as the geta mark
  // Notes on the files read that the run goes on after (a file that looks
  // like damaged UTF-8), UTF-8 text for standard error and --check.
  std::vector<std::string> TextNotices;
};

}  // namespace tolvex
