#include "completion/synthetic_model.hpp"

#include "completion/gguf_model.hpp"

namespace wisket::testing {

void writeScriptedModel(const std::filesystem::path& file, const std::vector<std::string>& script,
                        bool chatTemplate) {
    constexpr std::int64_t width = 64, layers = 2, heads = 4, feedForward = 128;
    Vocabulary vocabulary;
    std::vector<std::int32_t> pieces;
    for (const std::string& piece : script) {
        pieces.push_back(vocabulary.wholePiece(piece));
    }
    const std::int32_t end = vocabulary.add("<|endoftext|>", 3);
    if (chatTemplate) {
        vocabulary.add("<|im_start|>", 3);
        vocabulary.add("<|im_end|>", 3);
    }
    const auto vocabSize = static_cast<std::int64_t>(vocabulary.tokens.size());
    if (static_cast<std::int64_t>(pieces.size()) >= width) {
        throw std::invalid_argument("script too long for the tiny model");
    }

    // The residual stream carries the token's own embedding only (every attention and
    // feed-forward weight is zero), so the output matrix alone decides the next token: a
    // bigram table. Piece i is the unit vector i; every other token is the last unit
    // vector, which leads to the end of generation.
    const std::int64_t other = width - 1;
    std::vector<float> embeddings(static_cast<std::size_t>(width * vocabSize), 0.0f);
    std::vector<float> output(static_cast<std::size_t>(width * vocabSize), 0.0f);
    auto at = [&](std::vector<float>& m, std::int64_t token, std::int64_t column) -> float& {
        return m[static_cast<std::size_t>(token * width + column)];
    };
    for (std::int64_t token = 0; token < vocabSize; ++token) {
        at(embeddings, token, other) = 1.0f;
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        at(embeddings, pieces[i], other) = 0.0f;
        at(embeddings, pieces[i], static_cast<std::int64_t>(i)) = 1.0f;
        const std::int32_t next = i + 1 < pieces.size() ? pieces[i + 1] : end;
        at(output, next, static_cast<std::int64_t>(i)) = 1.0f;
    }
    at(output, end, other) = 1.0f;

    GgufWriter writer;
    gguf_context* gguf = writer.gguf();
    setShape(gguf, "llama", 4096, width, layers, feedForward, heads, heads);
    gguf_set_val_u32(gguf, "llama.rope.dimension_count", width / heads);
    gguf_set_val_u32(gguf, "llama.vocab_size", static_cast<std::uint32_t>(vocabSize));
    vocabulary.store(gguf, "gpt-2");
    gguf_set_val_u32(gguf, "tokenizer.ggml.bos_token_id", static_cast<std::uint32_t>(end));
    gguf_set_val_u32(gguf, "tokenizer.ggml.eos_token_id", static_cast<std::uint32_t>(end));

    if (chatTemplate) {
        gguf_set_val_str(gguf, "tokenizer.chat_template", chatmlTemplate);
    }

    writer.tensor("token_embd.weight", GGML_TYPE_F32, width, vocabSize, floats(embeddings));
    writer.tensor("output_norm.weight", GGML_TYPE_F32, width, 1, ones(width));
    writer.tensor("output.weight", GGML_TYPE_F32, width, vocabSize, floats(output));
    for (std::int64_t layer = 0; layer < layers; ++layer) {
        const std::string blk = "blk." + std::to_string(layer) + ".";
        writer.tensor(blk + "attn_norm.weight", GGML_TYPE_F32, width, 1, ones(width));
        for (const char* name : {"attn_q.weight", "attn_k.weight", "attn_v.weight", "attn_output.weight"}) {
            writer.tensor(blk + name, GGML_TYPE_F32, width, width, floats({}));
        }
        writer.tensor(blk + "ffn_norm.weight", GGML_TYPE_F32, width, 1, ones(width));
        writer.tensor(blk + "ffn_gate.weight", GGML_TYPE_F32, width, feedForward, floats({}));
        writer.tensor(blk + "ffn_up.weight", GGML_TYPE_F32, width, feedForward, floats({}));
        writer.tensor(blk + "ffn_down.weight", GGML_TYPE_F32, feedForward, width, floats({}));
    }
    writer.write(file);
}

} // namespace wisket::testing
