// The start-up side of "#HTM=": the HTML file read into UTF-8 and made
// ready to send, its inline images found in the job's folder. The parts
// themselves are written with the others (attachments.cpp).
#pragma once

#include <string>
#include <string_view>

#include "base/failure.hpp"
#include "base/run_state.hpp"
#include "base/work_folder.hpp"

namespace tolvex {

// The HTML file `name` by the detection rule of text files, as UTF-8 (a
// Shift_JIS file converted) with its lines ended by CR LF. A file whose BOM
// it belies is refused like such a text file.
Status ReadHtmlFile(const std::string& name, WorkFolder& files, std::string& html);

// Rewrites `html` into st.HtmlText and lists its images in st.HtmlImages,
// each source taken from the folder of `htmlName` (names as the folder
// takes them). Returns the number of images; the caller checks the limit
// before CheckInlineImages opens them.
std::size_t PrepareHtml(RunState& st, std::string_view htmlName, std::string_view html,
                        bool unicodeNames);

// Opens each image once: a missing one stops the run (InputMissing).
Status CheckInlineImages(const RunState& st, WorkFolder& files);

}  // namespace tolvex
