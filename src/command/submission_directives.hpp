// The submission directives of command.txt: #POR (port), #SEC (TLS),
// #USR and #PAS (SMTP AUTH), #CAF (extra trusted CA certificates), the
// OAuth ones (#AUT, #OAU, #OID, #OSC, #OTE, #OSP, #OAZ, #OSA), #DSN
// (delivery status notifications), #PRX (the proxy), and the checks across them once the
// whole file is read.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/failure.hpp"
#include "base/submission.hpp"

namespace tolvex {

// True for the four-character keywords handled here.
bool IsSubmissionKeyword(std::string_view key);

// Takes one directive line of such a keyword into `s`. A bad value stops
// the reading with CommandFileBad naming the directive and line `lineNo`.
Status SubmissionDirective(std::string_view key, std::string_view line, std::size_t lineNo,
                           Submission& s);

// What the directives must hold together: credentials only over TLS, unless
// "#SEC=none" was written; #DSN only under EHLO.
Status CheckSubmission(const Submission& s);

}  // namespace tolvex
