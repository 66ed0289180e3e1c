// Reading the HTML file and finding its images at start-up.
#include "compose/html_message.hpp"

#include "compose/html_body.hpp"
#include "compose/message_charset.hpp"
#include "compose/text_file.hpp"
#include "compose/text_functions.hpp"
#include "compose/utf8_message.hpp"
#include "encoding/source_text.hpp"

namespace tolvex {

Status ReadHtmlFile(const std::string& name, WorkFolder& files, std::string& html) {
  SourceText source;
  if (Status status = ReadDetected("HTML file", name, files, source)) return status;
  const std::string text =
      source.Unicode() ? std::move(source.text) : Cp932ToUtf8Lossy(source.text);
  html.clear();
  html.reserve(text.size() + text.size() / 32);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      html.append("\r\n");
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      html.push_back(text[i]);
    }
  }
  return std::nullopt;
}

std::size_t PrepareHtml(RunState& st, std::string_view htmlName, std::string_view html,
                        bool unicodeNames) {
  RewrittenHtml rewritten = RewriteHtml(html);
  const std::string base(
      htmlName.substr(0, htmlName.size() - (unicodeNames ? Utf8FileNameFromPath(htmlName).size()
                                                         : FileNameFromPath(htmlName).size())));
  st.HtmlText = std::move(rewritten.html);
  st.HtmlImages.clear();
  for (const std::string& src : rewritten.images) {
    std::size_t lost = 0;
    st.HtmlImages.push_back(base + (unicodeNames ? src : Utf8ToCp932(src, lost)));
  }
  return st.HtmlImages.size();
}

Status CheckInlineImages(const RunState& st, WorkFolder& files) {
  for (const std::string& name : st.HtmlImages) {
    IoError error;
    if (!files.OpenRead(name, error)) return Unreadable("inline image", name, *error);
  }
  return std::nullopt;
}

}  // namespace tolvex
