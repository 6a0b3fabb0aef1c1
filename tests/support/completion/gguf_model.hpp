#pragma once

// The parts of a GGUF model file that the scripted test model and the benchmark's model of
// real shape share: a byte-level BPE vocabulary and a writer that streams tensors to disk.

#include "text/unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ggml.h>
#include <gguf.h>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace wisket::testing {

// GPT-2's reversible mapping of bytes to printable characters, in which byte-level BPE
// vocabularies spell their tokens (a space is "Ġ", a line feed "Ċ").
inline const std::vector<std::string>& byteCharacters() {
    static const std::vector<std::string> table = [] {
        std::vector<std::string> chars(256);
        char32_t next = 256;
        for (char32_t b = 0; b < 256; ++b) {
            const bool printable =
                (b >= '!' && b <= '~') || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE && b <= 0xFF);
            appendUtf8(chars[b], printable ? b : next++);
        }
        return chars;
    }();
    return table;
}

inline std::vector<std::string> symbolsOf(std::string_view text) {
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

    void store(gguf_context* gguf, const char* pre) const {
        gguf_set_val_str(gguf, "tokenizer.ggml.model", "gpt2");
        gguf_set_val_str(gguf, "tokenizer.ggml.pre", pre);
        for (const auto& [key, strings] :
             {std::pair{"tokenizer.ggml.tokens", &tokens}, {"tokenizer.ggml.merges", &merges}}) {
            std::vector<const char*> texts;
            for (const std::string& text : *strings) {
                texts.push_back(text.c_str());
            }
            gguf_set_arr_str(gguf, key, texts.data(), texts.size());
        }
        gguf_set_arr_data(gguf, "tokenizer.ggml.token_type", GGUF_TYPE_INT32, types.data(), types.size());
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
        // Each tensor goes to its offset after the metadata; what is skipped reads as zeros.
        std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
        const std::size_t dataStart = gguf_get_meta_size(m_gguf.get());
        for (std::size_t i = 0; i < m_fills.size(); ++i) {
            const auto id = static_cast<std::int64_t>(i);
            const std::size_t size = gguf_get_tensor_size(m_gguf.get(), id);
            out.seekp(static_cast<std::streamoff>(dataStart + gguf_get_tensor_offset(m_gguf.get(), id)));
            out.write(m_fills[i](size).data(), static_cast<std::streamsize>(size));
        }
        if (!out) {
            throw std::runtime_error("cannot write " + file.string());
        }
    }

private:
    std::unique_ptr<gguf_context, void (*)(gguf_context*)> m_gguf;
    std::unique_ptr<ggml_context, void (*)(ggml_context*)> m_tensors;
    std::vector<Fill> m_fills;
};

inline GgufWriter::Fill floats(std::vector<float> values) {
    return [values = std::move(values)](std::size_t bytes) {
        const auto* data = reinterpret_cast<const char*>(values.data());
        std::vector<char> out(data, data + values.size() * sizeof(float));
        out.resize(bytes);
        return out;
    };
}

inline GgufWriter::Fill ones(std::size_t count) {
    return floats(std::vector<float>(count, 1.0f));
}

inline void setShape(gguf_context* gguf, const std::string& arch, std::uint32_t context, std::uint32_t width,
                     std::uint32_t layers, std::uint32_t feedForward, std::uint32_t heads,
                     std::uint32_t kvHeads) {
    gguf_set_val_str(gguf, "general.architecture", arch.c_str());
    gguf_set_val_u32(gguf, (arch + ".context_length").c_str(), context);
    gguf_set_val_u32(gguf, (arch + ".embedding_length").c_str(), width);
    gguf_set_val_u32(gguf, (arch + ".block_count").c_str(), layers);
    gguf_set_val_u32(gguf, (arch + ".feed_forward_length").c_str(), feedForward);
    gguf_set_val_u32(gguf, (arch + ".attention.head_count").c_str(), heads);
    gguf_set_val_u32(gguf, (arch + ".attention.head_count_kv").c_str(), kvHeads);
    gguf_set_val_f32(gguf, (arch + ".attention.layer_norm_rms_epsilon").c_str(), 1e-6f);
}

inline constexpr const char* chatmlTemplate =
    "{% for message in messages %}{{'<|im_start|>' + message['role'] + '\\n' + message['content'] + "
    "'<|im_end|>' + "
    "'\\n'}}{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}";

} // namespace wisket::testing
