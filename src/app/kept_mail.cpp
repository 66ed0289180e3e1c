// The sidecar of a kept message and the undelivered folder's scan.
#include "app/kept_mail.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/base64.hpp"
#include "encoding/jis_decode.hpp"

namespace tolvex {
namespace {

using nlohmann::json;

constexpr char kFolderSlash[] = "undelivered/";

// A text of bytes: a JSON string when it is printable ASCII, else
// {"bytes": Base64} so that code page 932 comes back byte for byte.
json BytesValue(std::string_view text) {
  const bool ascii = std::ranges::all_of(text, [](char c) { return c >= 0x20 && c < 0x7F; });
  if (ascii) return std::string(text);
  std::string base64;
  AppendBase64(text, base64);
  return json{{"bytes", base64}};
}

std::optional<std::string> BytesOf(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (!value.is_object() || !value.contains("bytes") || !value["bytes"].is_string()) {
    return std::nullopt;
  }
  return DecodeBase64(value["bytes"].get<std::string>());
}

json BytesList(const std::vector<std::string>& list, std::size_t from, std::size_t to) {
  json out = json::array();
  for (std::size_t i = from; i < to; ++i) out.push_back(BytesValue(list[i]));
  return out;
}

std::string TimeText(const LocalTime& t) {
  const int offset = t.utcOffsetMinutes < 0 ? -t.utcOffsetMinutes : t.utcOffsetMinutes;
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", t.year % 10000,
                t.month % 100, t.day % 100, t.hour % 100, t.minute % 100, t.second % 100,
                t.utcOffsetMinutes < 0 ? '-' : '+', (offset / 60) % 100, offset % 60);
  return text;
}

std::optional<LocalTime> TimeOf(const std::string& text) {
  LocalTime t;
  char sign = 0;
  int oh = 0;
  int om = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d", &t.year, &t.month, &t.day,
                  &t.hour, &t.minute, &t.second, &sign, &oh, &om) != 9 ||
      (sign != '+' && sign != '-')) {
    return std::nullopt;
  }
  t.utcOffsetMinutes = (sign == '-' ? -1 : 1) * (oh * 60 + om);
  return t;
}

bool Exists(WorkFolder& files, const std::string& name) {
  IoError error;
  return files.OpenRead(name, error) != nullptr;
}

std::string Leaf(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  return std::string(slash == std::string_view::npos ? name : name.substr(slash + 1));
}

// Gives `from` the name `to`, never replacing a file.
Status Place(WorkFolder& files, const std::string& from, const std::string& to) {
  bool taken = false;
  if (IoError error = files.PlaceNew(from, to, taken)) {
    return Failure{FailureKind::SpoolWriteFailed,
                   "cannot move " + from + " to " + to + ": " + *error};
  }
  return std::nullopt;
}

}  // namespace

KeptEnvelope EnvelopeOf(const RunState& st) {
  KeptEnvelope e;
  e.from = st.FromAddr;
  for (int i = 1; i <= st.ToCount && i <= kMaxRecipients; ++i) {
    e.to.push_back(st.ToAddr[static_cast<std::size_t>(i)]);
  }
  e.cc = st.CcCount;
  e.bcc = st.BccCount;
  e.bccList = st.BccList;
  e.smtpUtf8Address = st.SmtpUtf8Address;
  e.charset = st.Charset;
  e.stampLines = st.StampLines;
  return e;
}

void PutEnvelope(const KeptEnvelope& e, RunState& st) {
  st.FromAddr = e.from;
  st.ToCount = 0;
  for (const std::string& to : e.to) {
    if (st.ToCount >= kMaxRecipients) break;
    st.ToAddr[static_cast<std::size_t>(++st.ToCount)] = to;
  }
  st.CcCount = static_cast<std::int16_t>(e.cc);
  st.BccCount = static_cast<std::int16_t>(e.bcc);
  st.BccList = e.bccList;
  st.SmtpUtf8Address = e.smtpUtf8Address;
  st.Charset = e.charset;
  st.StampLines = e.stampLines;
}

std::string SidecarText(const KeptSidecar& s) {
  const KeptEnvelope& e = s.envelope;
  const std::size_t bccFrom = e.to.size() - std::min<std::size_t>(e.to.size(), e.bcc);
  const std::size_t ccFrom = bccFrom - std::min<std::size_t>(bccFrom, e.cc);
  json out = {
      {"from", BytesValue(e.from)},
      {"to", BytesList(e.to, 0, ccFrom)},
      {"cc", BytesList(e.to, ccFrom, bccFrom)},
      {"bcc", BytesList(e.to, bccFrom, e.to.size())},
      {"charset", e.charset == MessageCharset::Utf8 ? "UTF-8" : "ISO-2022-JP"},
      {"smtputf8", BytesValue(e.smtpUtf8Address)},
      {"stamp", BytesValue(e.stampLines)},
      {"first_tried", TimeText(s.firstTried)},
      {"attempts", s.attempts},
      {"last_failure", {{"state", s.lastState}, {"text", BytesValue(s.lastFailure)}}},
      {"sending", s.sending},
  };
  return out.dump(2) + "\n";
}

std::optional<KeptSidecar> ReadSidecarText(std::string_view text) {
  const json in = json::parse(text, nullptr, false);
  if (!in.is_object()) return std::nullopt;
  KeptSidecar s;
  KeptEnvelope& e = s.envelope;
  auto bytes = [&in](const char* key, std::string& out) {
    const auto it = in.find(key);
    if (it == in.end()) return false;
    auto value = BytesOf(*it);
    if (value) out = std::move(*value);
    return value.has_value();
  };
  auto list = [&in, &e](const char* key) -> std::optional<int> {
    const auto it = in.find(key);
    if (it == in.end() || !it->is_array()) return std::nullopt;
    for (const json& item : *it) {
      auto value = BytesOf(item);
      if (!value) return std::nullopt;
      e.to.push_back(std::move(*value));
    }
    return static_cast<int>(it->size());
  };
  std::string first;
  std::string charset;
  if (!bytes("from", e.from) || !list("to")) return std::nullopt;
  const std::optional<int> cc = list("cc");
  const std::optional<int> bcc = list("bcc");
  if (!cc || !bcc || !bytes("smtputf8", e.smtpUtf8Address) || !bytes("stamp", e.stampLines) ||
      !bytes("first_tried", first) || !bytes("charset", charset)) {
    return std::nullopt;
  }
  e.cc = *cc;
  e.bcc = *bcc;
  for (std::size_t i = e.to.size() - static_cast<std::size_t>(*bcc); i < e.to.size(); ++i) {
    e.bccList += (e.bccList.empty() ? "" : ", ") + e.to[i];
  }
  e.charset = charset == "UTF-8" ? MessageCharset::Utf8 : MessageCharset::Iso2022Jp;
  const std::optional<LocalTime> tried = TimeOf(first);
  const auto attempts = in.find("attempts");
  const auto last = in.find("last_failure");
  const auto sending = in.find("sending");
  if (!tried || attempts == in.end() || !attempts->is_number_integer() || last == in.end() ||
      !last->is_object() || !last->contains("state") || !(*last)["state"].is_number_integer() ||
      !last->contains("text") || sending == in.end() || !sending->is_boolean()) {
    return std::nullopt;
  }
  std::optional<std::string> lastText = BytesOf((*last)["text"]);
  if (!lastText) return std::nullopt;
  s.firstTried = *tried;
  s.attempts = attempts->get<int>();
  s.lastState = (*last)["state"].get<int>();
  s.lastFailure = std::move(*lastText);
  s.sending = sending->get<bool>();
  return s;
}

std::string SidecarName(std::string_view emlName) {
  std::string name(emlName.substr(0, emlName.size() - (emlName.ends_with(".eml") ? 4 : 0)));
  return name + ".json";
}

Status WriteSidecar(WorkFolder& files, const std::string& name, const KeptSidecar& sidecar,
                    bool replace) {
  const std::string partial = name + ".new";
  auto failed = [&name](const std::string& reason) {
    return Failure{FailureKind::SpoolWriteFailed, "cannot write " + name + ": " + reason};
  };
  files.Remove(partial);  // a stopped rewrite's, never written through
  IoError error;
  bool taken = false;
  std::unique_ptr<OutputFile> out = files.CreateNew(partial, error, taken);
  if (!out) return failed(*error);
  error = out->Write(SidecarText(sidecar));
  if (!error) error = out->Finish();
  out.reset();
  if (!error) error = replace ? files.Replace(partial, name) : files.PlaceNew(partial, name, taken);
  if (error) {
    files.Remove(partial);
    return failed(*error);
  }
  return std::nullopt;
}

KeptScan ScanKept(WorkFolder& files) {
  KeptScan scan;
  IoError error;
  FolderListing listing = files.ListFolder(kFolderSlash, error);
  if (error) return scan;  // no folder: nothing kept
  std::ranges::sort(listing.names);
  auto listed = [&listing](const std::string& leaf) {
    return std::ranges::binary_search(listing.names, leaf);
  };
  for (const std::string& leaf : listing.names) {
    const std::string name = kFolderSlash + leaf;
    if (leaf.ends_with(".json.new")) {
      files.Remove(name);
    } else if (leaf.ends_with(".json")) {
      const std::string eml = leaf.substr(0, leaf.size() - 5) + ".eml";
      if (!listed(eml)) {
        files.Remove(name);
        continue;
      }
      std::unique_ptr<InputFile> in = files.OpenRead(name, error);
      std::string text;
      if (in && in->Size() < (1u << 20)) {
        text.resize(static_cast<std::size_t>(in->Size()));
        if (ReadExactly(*in, 0, text.data(), text.size())) text.clear();
      }
      std::optional<KeptSidecar> sidecar = ReadSidecarText(text);
      if (!sidecar) {
        scan.unread.push_back(name);
        continue;
      }
      scan.messages.push_back(KeptMessage{kFolderSlash + eml, name, std::move(*sidecar)});
    } else if (leaf.ends_with(".eml") && !listed(SidecarName(leaf))) {
      const std::string json = SidecarName(leaf);
      for (const char* folder : {kRefusedFolder, kExpiredFolder}) {
        if (Exists(files, std::string(folder) + "/" + json)) {
          Place(files, name, std::string(folder) + "/" + leaf);
          break;
        }
      }
    }
  }
  std::ranges::stable_sort(scan.messages, [](const KeptMessage& a, const KeptMessage& b) {
    const std::int64_t ta = UnixSeconds(a.sidecar.firstTried);
    const std::int64_t tb = UnixSeconds(b.sidecar.firstTried);
    return ta != tb ? ta < tb : a.eml < b.eml;
  });
  return scan;
}

Status MoveKept(WorkFolder& files, const KeptMessage& kept, std::string_view folder) {
  const std::string to = std::string(folder) + "/";
  if (IoError error = files.MakeFolder(folder)) {
    return Failure{FailureKind::SpoolWriteFailed,
                   "cannot make the folder " + std::string(folder) + ": " + *error};
  }
  if (Status failure = Place(files, kept.json, to + Leaf(kept.json))) return failure;
  return Place(files, kept.eml, to + Leaf(kept.eml));
}

Status RemoveKept(WorkFolder& files, const KeptMessage& kept) {
  for (const std::string* name : {&kept.eml, &kept.json}) {
    if (IoError error = files.Remove(*name)) {
      return Failure{FailureKind::SpoolWriteFailed, "cannot remove " + *name + ": " + *error};
    }
  }
  return std::nullopt;
}

std::int64_t SecondsBetween(const LocalTime& from, const LocalTime& to) {
  return UnixSeconds(to) - UnixSeconds(from);
}

}  // namespace tolvex
