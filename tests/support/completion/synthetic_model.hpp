#pragma once

// Model files written on the spot with ggml's GGUF API, so that the llama.cpp runtime is
// tested and measured without downloading weights.

#include <filesystem>
#include <string>
#include <string_view>
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

// A model of the shape of a 0.5-billion-parameter chat model (qwen2 architecture: 24 layers,
// 896 wide, 14 heads, 2 key/value heads, 4864 feed-forward, 151936 tokens, tied output),
// random weights quantized the way a Q4_K_M file of that model is, a chatml template, and a
// byte-level BPE vocabulary learned from `corpus` so that English text takes about as many
// tokens as with the real vocabulary.
void writeRandomModelOfRealShape(const std::filesystem::path& file, std::string_view corpus);

} // namespace wisket::testing
