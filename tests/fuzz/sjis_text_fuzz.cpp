// Shift_JIS to ISO-2022-JP and the code page 932 character helpers, on
// arbitrary bytes. The conversion is read back with the decoder and
// compared with a model of the conversion rules written here character by
// character; the helpers are compared with the character starts found by
// walking the text.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "base/sjis_text.hpp"
#include "compose/message_writer.hpp"
#include "encoding/cp932_vendor.hpp"
#include "encoding/jis_convert.hpp"
#include "encoding/jis_decode.hpp"
#include "fuzz_check.hpp"

using namespace tolvex;
using tolvex::fuzz::Escaped;

namespace {

constexpr std::string_view kGeta = "\x81\xAC";  // 〓

void Push16(std::string& out, unsigned code) {
  out.push_back(static_cast<char>(code >> 8));
  out.push_back(static_cast<char>(code & 0xFF));
}

// What the decoder must give back for `s`: every character that has a JIS
// code unchanged, an IBM extension as its twin, everything without a code
// as the geta mark, NUL dropped, spaces trimmed at both ends.
std::string ExpectedReadBack(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (sjis::IsLeadByte(b)) {
      if (i + 1 < s.size() && sjis::IsTrailByte(static_cast<unsigned char>(s[i + 1]))) {
        const auto t = static_cast<unsigned char>(s[i + 1]);
        if (b <= 0xEF) {
          out.append(s.substr(i, 2));
        } else if (b >= 0xFA) {
          const unsigned twin = cp932::IbmTwin(b, t);
          if (twin != 0) {
            Push16(out, twin);
          } else {
            out.append(kGeta);
          }
        } else {
          out.append(kGeta);  // the user-defined area
        }
        i += 2;
      } else {
        out.append(kGeta);  // a lead byte without its trail byte
        ++i;
      }
    } else if (b == 0) {
      ++i;
    } else if (b < 0x80 || (b >= 0xA1 && b <= 0xDF)) {
      out.push_back(static_cast<char>(b));
      ++i;
    } else {
      out.append(kGeta);  // 0x80, 0xA0, 0xFD-0xFF: no character
      ++i;
    }
  }
  return std::string(sjis::Trim(out));
}

void CheckConversion(std::string_view in) {
  const std::string jis = SjisToJis(in);
  for (char c : jis) {
    const auto b = static_cast<unsigned char>(c);
    FUZZ_CHECK(b != 0 && (b < 0x80 || (b >= 0xA1 && b <= 0xDF)),
               Escaped(in) + " -> " + Escaped(jis));
  }
  FUZZ_CHECK(jis.empty() || (jis.front() != ' ' && jis.back() != ' '), Escaped(jis));

  // ESC typed into the text goes through as it is and would steer the
  // decoder: the read-back is compared on the text without it.
  std::string clean(in);
  std::erase(clean, '\x1B');
  const std::string back = JisToSjis(SjisToJis(clean));
  const std::string expected = ExpectedReadBack(clean);
  FUZZ_CHECK(back == expected, Escaped(clean) + "\n  read back " + Escaped(back) +
                                   "\n  expected  " + Escaped(expected));
}

void CheckCharacters(std::string_view s, std::string_view params) {
  std::vector<std::size_t> starts;
  for (std::size_t pos = 0; pos < s.size(); pos += sjis::CharLen(s, pos)) starts.push_back(pos);
  auto isStart = [&](std::size_t pos) {
    return std::binary_search(starts.begin(), starts.end(), pos);
  };
  const std::size_t count = starts.size();
  FUZZ_CHECK(sjis::CharCount(s) == count, Escaped(s));

  auto param = [&](std::size_t i) {
    return i < params.size() ? static_cast<unsigned char>(params[i]) : std::size_t{0};
  };
  for (std::size_t n : {std::size_t{0}, count / 2, count, count + 1, param(0) % (count + 2)}) {
    const std::size_t at = sjis::ByteOffsetOfChar(s, n);
    FUZZ_CHECK(at == (n < count ? starts[n] : s.size()), Escaped(s) + " n=" + std::to_string(n));
    FUZZ_CHECK(std::string(sjis::LeftChars(s, n)) + std::string(sjis::DropChars(s, n)) == s,
               Escaped(s));
  }

  // A found character is a one-byte character on a boundary, and the first
  // such: the trail bytes 0x5C and 0x7C are never found as "\" or "|".
  for (char c : std::string_view("\\|,<=\"@ ")) {
    std::size_t expected = sjis::npos;
    for (std::size_t pos : starts) {
      if (sjis::CharLen(s, pos) == 1 && s[pos] == c) {
        expected = pos;
        break;
      }
    }
    FUZZ_CHECK(sjis::FindChar(s, c) == expected, Escaped(s) + " c=" + std::string(1, c));
    if (expected != sjis::npos) {
      const std::size_t next = sjis::FindChar(s, c, expected + 1);
      FUZZ_CHECK(next == sjis::npos || (next > expected && isStart(next) && s[next] == c),
                 Escaped(s));
    }
  }

  // A needle cut from the text on character boundaries is found at or
  // before the place it was cut from, on a boundary.
  if (count > 0) {
    const std::size_t from = param(1) % count;
    const std::size_t len = 1 + param(2) % 4;
    const std::string_view rest = sjis::DropChars(s, from);
    const std::string_view needle = sjis::LeftChars(rest, len);
    const std::size_t found = sjis::Find(s, needle);
    FUZZ_CHECK(found != sjis::npos && found <= starts[from] && isStart(found) &&
                   s.compare(found, needle.size(), needle) == 0,
               Escaped(s) + " needle " + Escaped(needle));
  }

  const std::string_view trimmed = sjis::Trim(s);
  FUZZ_CHECK(trimmed.empty() || (trimmed.front() != ' ' && trimmed.back() != ' '), Escaped(s));
  FUZZ_CHECK(s.find(trimmed) != std::string_view::npos, Escaped(s));
}

}  // namespace

// The converted text through the line limit the composer puts on it (a
// short limit, chosen by the input): no line passes it, and taking the
// breaks out of a text without line ends gives the text back.
void CheckLineLimit(std::string_view in) {
  std::string clean(in);
  std::erase_if(clean, [](char c) { return c == '\r' || c == '\n' || c == '\x1B'; });
  const std::string jis = SjisToJis(clean);
  const std::size_t limit = 16 + (in.empty() ? 0 : static_cast<unsigned char>(in[0]) % 64);
  std::string out;
  StringWriter writer(out);
  FUZZ_CHECK(!LineLimiter(writer, limit).Write(jis), "write failed");
  std::string joined;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= out.size(); ++i) {
    if (i < out.size() && out[i] != '\r') continue;
    FUZZ_CHECK(i - start <= limit, Escaped(out.substr(start, i - start)));
    std::string_view line = std::string_view(out).substr(start, i - start);
    if (i < out.size() && line.ends_with("\x1B(J") && out.compare(i, 5, "\r\n\x1B$B") == 0) {
      line.remove_suffix(3);  // a break inside two-byte text
      i += 3;
    }
    joined.append(line);
    start = i + 2;
  }
  FUZZ_CHECK(joined == jis, Escaped(jis) + "\n  broken " + Escaped(out));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::AsText(data, size);
  CheckConversion(input);
  CheckLineLimit(input);
  // The first bytes also choose the positions the helpers are asked about.
  CheckCharacters(input, input.substr(0, 3));
  return 0;
}
