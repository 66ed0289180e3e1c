// The HTML alternative's rewriting and its text form.
#include "compose/html_body.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compose/message_charset.hpp"

namespace tolvex {
namespace {

struct RewriteCase {
  std::string html, sent;
  std::vector<std::string> images;
};

TEST(RewriteHtml, CharsetDeclarationsAndLocalImages) {
  const std::string cid1 = "cid:img1@tolvex.inline", cid2 = "cid:img2@tolvex.inline";
  const std::vector<RewriteCase> cases = {
      {"<meta charset=\"Shift_JIS\">", "<meta charset=\"utf-8\">", {}},
      {"<META CHARSET=euc-jp>", "<META CHARSET=utf-8>", {}},
      {"<meta http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">",
       "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">",
       {}},
      {"<meta http-equiv='content-type' content='text/html;charset=x-sjis; x=y'>",
       "<meta http-equiv='content-type' content='text/html;charset=utf-8; x=y'>",
       {}},
      // Another meta, or a charset= in the text, is no declaration.
      {"<meta name=\"x\" content=\"charset=sjis\">charset=sjis",
       "<meta name=\"x\" content=\"charset=sjis\">charset=sjis",
       {}},
      // The same file twice is one part; entities in the value are decoded.
      {"<img src=\"a/chart.png\"><IMG alt=x SRC='a/chart.png'/><img src=b&amp;c.gif>",
       "<img src=\"" + cid1 + "\"><IMG alt=x SRC='" + cid1 + "'/><img src=" + cid2 + ">",
       {"a/chart.png", "b&c.gif"}},
      // Remote, embedded, absolute and escaping sources stay as written.
      {"<img src=\"http://x/a.png\"><img src=\"cid:z\"><img src=\"data:image/png;base64,AA\">"
       "<img src=\"/etc/a.png\"><img src=\"../a.png\"><img src=\"a/../../b.png\">"
       "<img src=\"C:\\a.png\"><img src=\"\\\\srv\\a.png\"><img src=\"a.png?x=1\">",
       "<img src=\"http://x/a.png\"><img src=\"cid:z\"><img src=\"data:image/png;base64,AA\">"
       "<img src=\"/etc/a.png\"><img src=\"../a.png\"><img src=\"a/../../b.png\">"
       "<img src=\"C:\\a.png\"><img src=\"\\\\srv\\a.png\"><img src=\"a.png?x=1\">",
       {}},
      // Comments, script text and a tag left open are not rewritten.
      {"<!-- <img src=\"c.png\"> --><script>x='<img src=\"d.png\">'</script><img src=\"e.png\"",
       "<!-- <img src=\"c.png\"> --><script>x='<img src=\"d.png\">'</script><img src=\"e.png\"",
       {}},
      // An open quote takes the rest of the page: nothing after it is a tag.
      {"<a title='it><img src=\"e.png\">", "<a title='it><img src=\"e.png\">", {}},
      // Japanese names and text (表, ソ and 能 in UTF-8) pass through.
      {"<p>表ソ能</p><img src=\"図/表.png\">",
       "<p>表ソ能</p><img src=\"" + cid1 + "\">",
       {"図/表.png"}},
  };
  for (const RewriteCase& c : cases) {
    const RewrittenHtml r = RewriteHtml(c.html);
    EXPECT_EQ(r.html, c.sent) << c.html;
    EXPECT_EQ(r.images, c.images) << c.html;
  }
}

TEST(TextFromHtml, TagsEntitiesBreaksAndLinks) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<html><head><title>T</title><style>p{}</style></head><body>a  b\n c</body></html>",
       "a b c\r\n"},
      {"<h1>見出し</h1><p>one<br>two</p>three", "見出し\r\n\r\none\r\ntwo\r\n\r\nthree\r\n"},
      {"<ul><li>x</li><li>y</li></ul>", "x\r\ny\r\n"},
      {"<table><tr><th>A</th><td>1</td></tr><tr><td>B</td><td>2</td></tr></table>",
       "A\t1\r\nB\t2\r\n"},
      {"&lt;&amp;&gt; &#x8868;&#12477;&quot;&nbsp;&unknown; &#0;",
       "<&> 表ソ\" &unknown; \xEF\xBF\xBD\r\n"},
      {"<a href=\"https://x.jp/?a=1&amp;b=2\">詳細</a> <a href=\"https://y\">https://y</a>"
       " <a href=\"#top\">top</a>",
       "詳細 (https://x.jp/?a=1&b=2) https://y top\r\n"},
      {"<pre>a  b\r\n  c</pre>d", "a  b\r\n  c\r\nd\r\n"},
      {"<script>if (a < b) x();</script>ok", "ok\r\n"},
      {"<p>a</p><a title='it<p>b", "a\r\n"},  // the open tag takes the rest
      {"", ""},
  };
  for (const auto& [html, text] : cases) EXPECT_EQ(TextFromHtml(html), text) << html;
}

TEST(TextFromHtml, ShiftJisHtmlKeepsItsTrailBytesAsCharacters) {
  // 表 (95 5C), ソ (83 5C), 能 (94 5C) and 竹 (92 7C) converted to UTF-8 first:
  // no backslash or bar appears.
  const std::string sjis = "<p>\x95\x5C\x83\x5C\x94\x5C\x92\x7C</p>";
  EXPECT_EQ(TextFromHtml(Cp932ToUtf8Lossy(sjis)), "表ソ能竹\r\n");
}

TEST(InlineImages, TypesAndIds) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a.png", "image/png"},
      {"a.JPG", "image/jpeg"},
      {"a.jpeg", "image/jpeg"},
      {"a.gif", "image/gif"},
      {"a.webp", "image/webp"},
      {"a.svg", "image/svg+xml"},
      {"a.bmp", "application/octet-stream"},
      {"png", "application/octet-stream"},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(ImageMimeType(name), type) << name;
  EXPECT_EQ(InlineImageId(0), "img1@tolvex.inline");
  EXPECT_EQ(InlineImageId(19), "img20@tolvex.inline");
}

}  // namespace
}  // namespace tolvex
