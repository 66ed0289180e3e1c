// The HTML alternative of "#HTM=": its declared charset and image sources
// rewritten for sending, and a plain text made from it for readers that show
// no HTML. Pure text work on UTF-8; reading files and writing parts is the
// composition's.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex {

inline constexpr std::size_t kMaxInlineImages = 20;

struct RewrittenHtml {
  std::string html;  // the document as sent
  // The local image sources in order of first use, entities decoded; the
  // k-th (from 0) is referred to as "cid:" + InlineImageId(k).
  std::vector<std::string> images;
};

// A <meta charset> or <meta http-equiv="Content-Type"> declaration made to
// say utf-8, and each <img src> that IsLocalImageSource accepts pointed at
// its inline part. A source used twice shares one part. Everything else,
// comments and the text of <script> and <style> included, stays as written.
RewrittenHtml RewriteHtml(std::string_view html);

// A relative path inside the job's folder: not empty, no scheme ("http:",
// "data:", "cid:", "C:"), not absolute ("/", "\\"), no ".." component, no
// "?" or "#" part.
bool IsLocalImageSource(std::string_view src);

// "img<k+1>@tolvex.inline": the Content-ID of the k-th image, without "<>".
std::string InlineImageId(std::size_t k);

// The MIME type by the file's extension (png, jpg/jpeg, gif, webp, svg),
// else application/octet-stream.
std::string_view ImageMimeType(std::string_view path);

// The text of the document, lines ended by CR LF: tags dropped (the text of
// <head>, <script> and <style> too), entities decoded, blanks collapsed as
// a browser does outside <pre>; <br>, <p>, <div>, <li>, <tr>, <table>,
// headings and the like end a line (a paragraph or heading leaves an empty
// line), table cells are parted by a tab, and <a href="URL">text</a> reads
// "text (URL)".
std::string TextFromHtml(std::string_view html);

// The text with its character references (&amp; &#38; &#x26; and the
// common named ones) decoded; an unknown one stays as written.
std::string DecodeEntities(std::string_view text);

}  // namespace tolvex
