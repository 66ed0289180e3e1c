// The HTML alternative's rewriting and text form. Input: an HTML file's
// bytes, decoded as the program decodes them (a Shift_JIS file converted to
// UTF-8). Every image listed is a local source, listed once and referred
// to by its cid; a page without either goes as written; the text form is
// well-formed UTF-8 lines ended by CR LF, never two empty lines in a row.
#include <algorithm>
#include <cstdint>
#include <string>

#include "compose/html_body.hpp"
#include "compose/message_charset.hpp"
#include "encoding/source_text.hpp"
#include "fuzz_check.hpp"

using namespace tolvex;
using tolvex::fuzz::Escaped;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const SourceText source = DecodeSource(fuzz::AsText(data, size));
  const std::string html = source.Unicode() ? source.text : Cp932ToUtf8Lossy(source.text);

  const RewrittenHtml once = RewriteHtml(html);
  for (std::size_t k = 0; k < once.images.size(); ++k) {
    FUZZ_CHECK(IsLocalImageSource(once.images[k]), Escaped(once.images[k]));
    FUZZ_CHECK(std::count(once.images.begin(), once.images.end(), once.images[k]) == 1,
               "listed twice: " + Escaped(once.images[k]));
    FUZZ_CHECK(once.html.find("cid:" + InlineImageId(k)) != std::string::npos, Escaped(html));
  }
  // Without a local image or a charset declaration the page goes as written.
  std::string lower = html;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  if (once.images.empty() && lower.find("charset") == std::string::npos) {
    FUZZ_CHECK(once.html == html, Escaped(html) + "\n  sent  " + Escaped(once.html));
  }

  const std::string text = TextFromHtml(html);
  FUZZ_CHECK(!utf8::IsValid(html) || utf8::IsValid(text), Escaped(text));
  FUZZ_CHECK(text.empty() || text.ends_with("\r\n"), Escaped(text));
  FUZZ_CHECK(!text.starts_with("\r\n"), Escaped(text));
  FUZZ_CHECK(text.find("\r\n\r\n\r\n") == std::string::npos, Escaped(text));
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') FUZZ_CHECK(i + 1 < text.size() && text[i + 1] == '\n', Escaped(text));
    if (text[i] == '\n') FUZZ_CHECK(i > 0 && text[i - 1] == '\r', Escaped(text));
  }
  return 0;
}
