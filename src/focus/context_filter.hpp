#pragma once

// Filters for text taken from other applications before it reaches a prompt: the cut
// between a reply and the message it quotes, the removal of sentences that try to
// instruct a model, and the passages a text puts in quotation marks. Pure functions,
// safe on any thread and on any bytes: invalid UTF-8 comes back as U+FFFD, and every
// pattern runs under a time limit so that no text can make them hang.

#include <string>
#include <string_view>
#include <vector>

namespace wisket {

struct ReplySplit {
    std::string reply;  // what stands before the first reply header
    std::string quoted; // the header and everything after it; empty without a header
    bool operator==(const ReplySplit&) const = default;
};

// Splits at the first reply header: an "On … wrote:" line, an "Original Message" rule, a
// line of underscores, a "From: " line or a quoted "> " line.
ReplySplit splitReply(std::string_view text);

// `text` without every sentence that reads like an instruction to an AI model or to an
// autocomplete tool. The sentences kept are copied as they stand, line breaks included.
std::string filterInjection(std::string_view text);

// The passages of at least six characters that stand between quotation marks, in order,
// without their quotes.
std::vector<std::string> quotedPassages(std::string_view text);

} // namespace wisket
