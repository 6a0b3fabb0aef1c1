#include "completion/synthetic_model.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <ggml.h>
#include <gguf.h>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>

namespace wisket::testing {

namespace {

// GPT-2's reversible mapping of bytes to printable characters, in which byte-level BPE
// vocabularies spell their tokens (a space is "Ġ", a line feed "Ċ").
const std::vector<std::string>& byteCharacters() {
    static const std::vector<std::string> table = [] {
        std::vector<std::string> chars(256);
        int next = 256;
        for (int b = 0; b < 256; ++b) {
            const bool printable =
                (b >= '!' && b <= '~') || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE && b <= 0xFF);
            const int cp = printable ? b : next++;
            std::string utf8;
            if (cp < 0x80) {
                utf8 += static_cast<char>(cp);
            } else {
                utf8 += static_cast<char>(0xC0 | (cp >> 6));
                utf8 += static_cast<char>(0x80 | (cp & 0x3F));
            }
            chars[static_cast<std::size_t>(b)] = utf8;
        }
        return chars;
    }();
    return table;
}

std::vector<std::string> symbolsOf(std::string_view text) {
    std::vector<std::string> symbols;
    for (const char c : text) {
        symbols.push_back(byteCharacters()[static_cast<unsigned char>(c)]);
    }
    return symbols;
}

// A byte-level BPE vocabulary: the 256 byte tokens first, then one token per merge.
struct Vocabulary {
    std::vector<std::string> tokens;
    std::vector<std::int32_t> types;
    std::vector<std::string> merges;
    std::map<std::string, std::int32_t> ids;
    std::map<std::pair<std::string, std::string>, std::size_t> ranks;

    Vocabulary() {
        for (const std::string& c : byteCharacters()) {
            add(c, 1);
        }
    }

    std::int32_t add(const std::string& token, std::int32_t type) {
        const auto [it, added] = ids.emplace(token, static_cast<std::int32_t>(tokens.size()));
        if (added) {
            tokens.push_back(token);
            types.push_back(type);
        }
        return it->second;
    }

    void merge(const std::string& left, const std::string& right) {
        if (ranks.emplace(std::pair(left, right), merges.size()).second) {
            merges.push_back(left + " " + right);
            add(left + right, 1);
        }
    }

    // How the merges so far split `piece`: the lowest-ranked adjacent pair first, as the
    // tokenizer does.
    std::vector<std::string> split(std::string_view piece) const {
        std::vector<std::string> symbols = symbolsOf(piece);
        while (true) {
            std::size_t best = symbols.size();
            std::size_t bestRank = merges.size();
            for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
                const auto rank = ranks.find(std::pair(symbols[i], symbols[i + 1]));
                if (rank != ranks.end() && rank->second < bestRank) {
                    best = i;
                    bestRank = rank->second;
                }
            }
            if (best == symbols.size()) {
                return symbols;
            }
            symbols[best] += symbols[best + 1];
            symbols.erase(symbols.begin() + static_cast<std::ptrdiff_t>(best) + 1);
        }
    }

    // Merges, ranked after every earlier one, that make `piece` a single token.
    std::int32_t wholePiece(std::string_view piece) {
        const std::vector<std::string> symbols = split(piece);
        std::string joined = symbols.at(0);
        for (std::size_t i = 1; i < symbols.size(); ++i) {
            merge(joined, symbols[i]);
            joined += symbols[i];
        }
        return ids.at(joined);
    }

    // Learns merges from `corpus` the way BPE training does (the most frequent adjacent
    // pair inside a word first, until no pair occurs twice or `count` merges exist), then
    // makes every word of the corpus a token of its own.
    void learn(std::string_view corpus, std::size_t count) {
        // Pre-tokenized roughly as GPT-2 does: " word", "word", "42", "," and single spaces.
        auto wordChar = [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return std::isalnum(u) || u >= 0x80 || c == '\'';
        };
        std::map<std::string, int> words;
        for (std::size_t i = 0; i < corpus.size();) {
            const std::size_t start = i;
            if (corpus[i] == ' ' && i + 1 < corpus.size() && wordChar(corpus[i + 1])) {
                ++i;
            }
            if (wordChar(corpus[i])) {
                while (i < corpus.size() && wordChar(corpus[i])) {
                    ++i;
                }
            } else {
                ++i;
            }
            ++words[std::string(corpus.substr(start, i - start))];
        }
        std::vector<std::pair<std::vector<std::string>, int>> split;
        for (const auto& [w, n] : words) {
            split.emplace_back(symbolsOf(w), n);
        }
        while (merges.size() < count) {
            std::map<std::pair<std::string, std::string>, int> pairs;
            for (const auto& [symbols, n] : split) {
                for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
                    pairs[{symbols[i], symbols[i + 1]}] += n;
                }
            }
            const auto best = std::max_element(
                pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
            if (best == pairs.end() || best->second < 2) {
                break;
            }
            const auto [left, right] = best->first;
            merge(left, right);
            for (auto& [symbols, n] : split) {
                std::vector<std::string> merged;
                for (std::size_t i = 0; i < symbols.size(); ++i) {
                    if (i + 1 < symbols.size() && symbols[i] == left && symbols[i + 1] == right) {
                        merged.push_back(left + right);
                        ++i;
                    } else {
                        merged.push_back(symbols[i]);
                    }
                }
                symbols = std::move(merged);
            }
        }
        // A vocabulary of that size spells nearly every common word as one token.
        for (const auto& [w, n] : words) {
            wholePiece(w);
        }
    }

    void store(gguf_context* gguf, const char* pre) const {
        gguf_set_val_str(gguf, "tokenizer.ggml.model", "gpt2");
        gguf_set_val_str(gguf, "tokenizer.ggml.pre", pre);
        std::vector<const char*> tokenTexts, mergeTexts;
        for (const auto& t : tokens) {
            tokenTexts.push_back(t.c_str());
        }
        for (const auto& m : merges) {
            mergeTexts.push_back(m.c_str());
        }
        gguf_set_arr_str(gguf, "tokenizer.ggml.tokens", tokenTexts.data(), tokenTexts.size());
        gguf_set_arr_data(gguf, "tokenizer.ggml.token_type", GGUF_TYPE_INT32, types.data(), types.size());
        gguf_set_arr_str(gguf, "tokenizer.ggml.merges", mergeTexts.data(), mergeTexts.size());
        gguf_set_val_bool(gguf, "tokenizer.ggml.add_bos_token", false);
    }
};

// Collects metadata and tensors, then writes the file: the metadata through the GGUF API,
// each tensor's bytes produced only when it is written, so a large model never sits in
// memory whole.
class GgufWriter {
public:
    using Fill = std::function<std::vector<char>(std::size_t bytes)>;

    GgufWriter()
        : m_gguf(gguf_init_empty(), gguf_free)
        , m_tensors(
              ggml_init({.mem_size = 1024 * ggml_tensor_overhead(), .mem_buffer = nullptr, .no_alloc = true}),
              ggml_free) {}

    gguf_context* gguf() { return m_gguf.get(); }

    void tensor(const std::string& name, ggml_type type, std::int64_t columns, std::int64_t rows, Fill fill) {
        ggml_tensor* t = rows == 1 ? ggml_new_tensor_1d(m_tensors.get(), type, columns)
                                   : ggml_new_tensor_2d(m_tensors.get(), type, columns, rows);
        ggml_set_name(t, name.c_str());
        gguf_add_tensor(m_gguf.get(), t);
        m_fills.push_back(std::move(fill));
    }

    void write(const std::filesystem::path& file) {
        std::filesystem::create_directories(file.parent_path());
        if (!gguf_write_to_file(m_gguf.get(), file.c_str(), true)) {
            throw std::runtime_error("cannot write " + file.string());
        }
        std::ofstream out(file, std::ios::binary | std::ios::app);
        const std::size_t dataStart = gguf_get_meta_size(m_gguf.get());
        std::size_t written = 0;
        for (std::size_t i = 0; i < m_fills.size(); ++i) {
            const auto id = static_cast<std::int64_t>(i);
            const std::size_t offset = gguf_get_tensor_offset(m_gguf.get(), id);
            const std::vector<char> padding(offset - written, 0);
            out.write(padding.data(), static_cast<std::streamsize>(padding.size()));
            const std::size_t size = gguf_get_tensor_size(m_gguf.get(), id);
            const std::vector<char> bytes = m_fills[i](size);
            out.write(bytes.data(), static_cast<std::streamsize>(size));
            written = offset + size;
        }
        const std::size_t alignment = gguf_get_alignment(m_gguf.get());
        const std::vector<char> tail((alignment - written % alignment) % alignment, 0);
        out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
        if (!out || dataStart == 0) {
            throw std::runtime_error("cannot write " + file.string());
        }
    }

private:
    std::unique_ptr<gguf_context, void (*)(gguf_context*)> m_gguf;
    std::unique_ptr<ggml_context, void (*)(ggml_context*)> m_tensors;
    std::vector<Fill> m_fills;
};

GgufWriter::Fill floats(std::vector<float> values) {
    return [values = std::move(values)](std::size_t bytes) {
        std::vector<char> out(bytes);
        std::memcpy(out.data(), values.data(), std::min(bytes, values.size() * sizeof(float)));
        return out;
    };
}

GgufWriter::Fill ones(std::size_t count) {
    return floats(std::vector<float>(count, 1.0f));
}

// Random weights in `type`: a few rows quantized from random values, repeated down the
// tensor (the speed of a model does not depend on its values).
GgufWriter::Fill randomRows(ggml_type type, std::int64_t columns, std::uint32_t seed) {
    return [=](std::size_t bytes) {
        constexpr std::int64_t sampleRows = 16;
        std::mt19937 random(seed);
        std::normal_distribution<float> weight(0.0f, 0.02f);
        std::vector<float> values(static_cast<std::size_t>(sampleRows * columns));
        std::generate(values.begin(), values.end(), [&] { return weight(random); });
        const std::size_t rowBytes = ggml_row_size(type, columns);
        std::vector<char> sample(rowBytes * sampleRows);
        if (type == GGML_TYPE_F32) {
            std::memcpy(sample.data(), values.data(), sample.size());
        } else {
            ggml_quantize_chunk(type, values.data(), sample.data(), 0, sampleRows, columns, nullptr);
        }
        std::vector<char> out(bytes);
        for (std::size_t at = 0; at < bytes; at += sample.size()) {
            std::memcpy(out.data() + at, sample.data(), std::min(sample.size(), bytes - at));
        }
        return out;
    };
}

void setShape(gguf_context* gguf, const std::string& arch, std::uint32_t context, std::uint32_t width,
              std::uint32_t layers, std::uint32_t feedForward, std::uint32_t heads, std::uint32_t kvHeads) {
    gguf_set_val_str(gguf, "general.architecture", arch.c_str());
    gguf_set_val_u32(gguf, (arch + ".context_length").c_str(), context);
    gguf_set_val_u32(gguf, (arch + ".embedding_length").c_str(), width);
    gguf_set_val_u32(gguf, (arch + ".block_count").c_str(), layers);
    gguf_set_val_u32(gguf, (arch + ".feed_forward_length").c_str(), feedForward);
    gguf_set_val_u32(gguf, (arch + ".attention.head_count").c_str(), heads);
    gguf_set_val_u32(gguf, (arch + ".attention.head_count_kv").c_str(), kvHeads);
    gguf_set_val_f32(gguf, (arch + ".attention.layer_norm_rms_epsilon").c_str(), 1e-6f);
}

constexpr const char* chatmlTemplate =
    "{% for message in messages %}{{'<|im_start|>' + message['role'] + '\\n' + message['content'] + "
    "'<|im_end|>' + "
    "'\\n'}}{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}";

} // namespace

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

void writeRandomModelOfRealShape(const std::filesystem::path& file, std::string_view corpus) {
    constexpr std::int64_t width = 896, layers = 24, heads = 14, kvHeads = 2, feedForward = 4864;
    constexpr std::int64_t vocabSize = 151936, kvWidth = width / heads * kvHeads;
    constexpr std::int32_t endOfText = 151643, imStart = 151644, imEnd = 151645;

    Vocabulary vocabulary;
    vocabulary.learn(corpus, 20000);
    for (std::int64_t id = static_cast<std::int64_t>(vocabulary.tokens.size()); id < vocabSize; ++id) {
        const std::string name = id == endOfText ? "<|endoftext|>"
                                 : id == imStart ? "<|im_start|>"
                                 : id == imEnd   ? "<|im_end|>"
                                                 : "[PAD" + std::to_string(id) + "]";
        vocabulary.add(name, id == endOfText || id == imStart || id == imEnd ? 3 : 5);
    }

    GgufWriter writer;
    gguf_context* gguf = writer.gguf();
    setShape(gguf, "qwen2", 32768, width, layers, feedForward, heads, kvHeads);
    gguf_set_val_f32(gguf, "qwen2.rope.freq_base", 1000000.0f);
    vocabulary.store(gguf, "qwen2");
    gguf_set_val_u32(gguf, "tokenizer.ggml.eos_token_id", imEnd);
    gguf_set_val_u32(gguf, "tokenizer.ggml.padding_token_id", endOfText);
    gguf_set_val_u32(gguf, "tokenizer.ggml.bos_token_id", endOfText);
    gguf_set_val_str(gguf, "tokenizer.chat_template", chatmlTemplate);

    // Q4_K_M on this shape: rows of 896 are no multiple of the k-quant block (256), so
    // those tensors fall back to Q5_0 (Q8_0 where Q6_K is wanted); ffn_down (rows of 4864)
    // keeps Q4_K, with Q6_K in the layers that get more bits.
    auto moreBits = [](std::int64_t layer) {
        return layer < layers / 8 || layer >= 7 * layers / 8 || (layer - layers / 8) % 3 == 2;
    };
    std::uint32_t seed = 1;
    auto random = [&](const std::string& name, ggml_type type, std::int64_t columns, std::int64_t rows) {
        writer.tensor(name, type, columns, rows, randomRows(type, columns, seed++));
    };
    random("token_embd.weight", GGML_TYPE_Q8_0, width, vocabSize);
    writer.tensor("output_norm.weight", GGML_TYPE_F32, width, 1, ones(width));
    for (std::int64_t layer = 0; layer < layers; ++layer) {
        const std::string blk = "blk." + std::to_string(layer) + ".";
        const ggml_type v = moreBits(layer) ? GGML_TYPE_Q8_0 : GGML_TYPE_Q5_0;
        const ggml_type down = moreBits(layer) ? GGML_TYPE_Q6_K : GGML_TYPE_Q4_K;
        writer.tensor(blk + "attn_norm.weight", GGML_TYPE_F32, width, 1, ones(width));
        random(blk + "attn_q.weight", GGML_TYPE_Q5_0, width, width);
        random(blk + "attn_q.bias", GGML_TYPE_F32, width, 1);
        random(blk + "attn_k.weight", GGML_TYPE_Q5_0, width, kvWidth);
        random(blk + "attn_k.bias", GGML_TYPE_F32, kvWidth, 1);
        random(blk + "attn_v.weight", v, width, kvWidth);
        random(blk + "attn_v.bias", GGML_TYPE_F32, kvWidth, 1);
        random(blk + "attn_output.weight", GGML_TYPE_Q5_0, width, width);
        writer.tensor(blk + "ffn_norm.weight", GGML_TYPE_F32, width, 1, ones(width));
        random(blk + "ffn_gate.weight", GGML_TYPE_Q5_0, width, feedForward);
        random(blk + "ffn_up.weight", GGML_TYPE_Q5_0, width, feedForward);
        random(blk + "ffn_down.weight", down, feedForward, width);
    }
    writer.write(file);
}

} // namespace wisket::testing
