#pragma once

// Model files written on the spot with ggml's GGUF API, so that the llama.cpp runtime is
// tested without downloading weights.

#include <filesystem>
#include <string>
#include <vector>

namespace wisket::testing {

// A tiny llama-architecture model (64 wide, 2 layers) with a byte-level BPE vocabulary in
// which every piece of `script` is one token. Its greedy continuation follows the script:
// after a piece comes the next piece, after the last the end of generation, and after any
// other token the end of generation too. Pieces are pre-tokenized as GPT-2 splits text
// ("Thank", " you", " for", …) and must be distinct. With `chatTemplate`, the model has a
// chatml template and its control tokens; without, it has none.
void writeScriptedModel(const std::filesystem::path& file, const std::vector<std::string>& script,
                        bool chatTemplate = false);

} // namespace wisket::testing
