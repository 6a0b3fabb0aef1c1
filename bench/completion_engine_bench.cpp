// On-device suggestion latency with a model of real shape: the size of a 0.5-billion-
// parameter chat model quantized like Q4_K_M, random weights (written to a temporary folder
// when the program starts, which takes a few seconds). The request is the full prompt for a
// 600-character e-mail with the fixed instructions, answered in 8 tokens; then the same
// request after two more characters are typed, which is what a user meets while typing.
// A request in a new field after the prewarm is timed too, and both figures against the
// same work in bare llama.cpp, so that Wisket's own cost shows as a ratio. The product runs
// one thread per physical core; with other work on the machine, one thread may be faster,
// since llama.cpp's threads wait for each other at every step. Run with
//   build/bench/bench_completion_engine --benchmark_report_aggregates_only
// and read the medians.

#include "completion/gguf_model.hpp"
#include "completion/llama_runtime.hpp"
#include "completion/prompt.hpp"
#include "temp_dir.hpp"
#include "text/unicode.hpp"

#include <benchmark/benchmark.h>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <llama.h>
#include <map>
#include <memory>
#include <random>

namespace {

using namespace wisket;

const std::string& longEmail() {
    static const std::string text =
        "Hi Sam,\n\nThanks for sending the draft over so quickly. I read through the numbers last night and "
        "the "
        "timeline looks fine to me, though I think shipping on Friday might be optimistic given that the "
        "review "
        "with the security team has not happened yet. Could you check with Priya whether the test plan is "
        "ready "
        "and whether she needs anything from us before Wednesday? I would also like to move our weekly call "
        "to "
        "Thursday afternoon, since Tuesday is full of interviews. If that does not work for you, Monday "
        "morning "
        "is open as well. Let me know what you think and whether there is anything I should prepare for the "
        "meeting with the customer next week, and I will get back to you as soon as I can with the updated "
        "figures.";
    return text;
}

CompletionRequest chatRequest() {
    CompletionRequest request;
    request.text = "sounds good, see you at the";
    request.appName = "Chat";
    request.windowTitle = "Team";
    request.plan = {.kind = TextKind::chat, .minWords = 1, .maxWords = 2};
    return request;
}

CompletionRequest emailRequest(std::size_t characters) {
    CompletionRequest request;
    request.text = std::string(firstGraphemes(longEmail(), characters));
    request.appName = "Mail";
    request.windowTitle = "Re: Draft for review";
    // 2 × 2 + 4 = 8 tokens at most.
    request.plan = {.kind = TextKind::email, .minWords = 1, .maxWords = 2};
    return request;
}

constexpr std::int64_t answerTokens = 8;

// Learns merges from `corpus` the way BPE training does (the most frequent adjacent
// pair inside a word first, until no pair occurs twice or `count` merges exist), then
// makes every word of the corpus a token of its own.
void learn(testing::Vocabulary& vocabulary, std::string_view corpus, std::size_t count) {
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
        split.emplace_back(testing::symbolsOf(w), n);
    }
    while (vocabulary.merges.size() < count) {
        std::map<std::pair<std::string, std::string>, int> pairs;
        for (const auto& [symbols, n] : split) {
            for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
                pairs[{symbols[i], symbols[i + 1]}] += n;
            }
        }
        const auto best = std::max_element(pairs.begin(), pairs.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; });
        if (best == pairs.end() || best->second < 2) {
            break;
        }
        const auto [left, right] = best->first;
        vocabulary.merge(left, right);
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
        vocabulary.wholePiece(w);
    }
}

// Random weights in `type`: a few rows quantized from random values, repeated down the
// tensor (the speed of a model does not depend on its values).
testing::GgufWriter::Fill randomRows(ggml_type type, std::int64_t columns, std::uint32_t seed) {
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

// A model of the shape of a 0.5-billion-parameter chat model (qwen2 architecture: 24 layers,
// 896 wide, 14 heads, 2 key/value heads, 4864 feed-forward, 151936 tokens, tied output),
// random weights quantized the way a Q4_K_M file of that model is, a chatml template, and a
// byte-level BPE vocabulary learned from `corpus` so that English text takes about as many
// tokens as with the real vocabulary.
void writeRandomModelOfRealShape(const std::filesystem::path& file, std::string_view corpus) {
    constexpr std::int64_t width = 896, layers = 24, heads = 14, kvHeads = 2, feedForward = 4864;
    constexpr std::int64_t vocabSize = 151936, kvWidth = width / heads * kvHeads;
    constexpr std::int32_t endOfText = 151643, imStart = 151644, imEnd = 151645;

    testing::Vocabulary vocabulary;
    learn(vocabulary, corpus, 20000);
    for (std::int64_t id = static_cast<std::int64_t>(vocabulary.tokens.size()); id < vocabSize; ++id) {
        const std::string name = id == endOfText ? "<|endoftext|>"
                                 : id == imStart ? "<|im_start|>"
                                 : id == imEnd   ? "<|im_end|>"
                                                 : "[PAD" + std::to_string(id) + "]";
        vocabulary.add(name, id == endOfText || id == imStart || id == imEnd ? 3 : 5);
    }

    testing::GgufWriter writer;
    gguf_context* gguf = writer.gguf();
    testing::setShape(gguf, "qwen2", 32768, width, layers, feedForward, heads, kvHeads);
    gguf_set_val_f32(gguf, "qwen2.rope.freq_base", 1000000.0f);
    vocabulary.store(gguf, "qwen2");
    gguf_set_val_u32(gguf, "tokenizer.ggml.eos_token_id", imEnd);
    gguf_set_val_u32(gguf, "tokenizer.ggml.padding_token_id", endOfText);
    gguf_set_val_u32(gguf, "tokenizer.ggml.bos_token_id", endOfText);
    gguf_set_val_str(gguf, "tokenizer.chat_template", testing::chatmlTemplate);

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
    writer.tensor("output_norm.weight", GGML_TYPE_F32, width, 1, testing::ones(width));
    for (std::int64_t layer = 0; layer < layers; ++layer) {
        const std::string blk = "blk." + std::to_string(layer) + ".";
        const ggml_type v = moreBits(layer) ? GGML_TYPE_Q8_0 : GGML_TYPE_Q5_0;
        const ggml_type down = moreBits(layer) ? GGML_TYPE_Q6_K : GGML_TYPE_Q4_K;
        writer.tensor(blk + "attn_norm.weight", GGML_TYPE_F32, width, 1, testing::ones(width));
        random(blk + "attn_q.weight", GGML_TYPE_Q5_0, width, width);
        random(blk + "attn_q.bias", GGML_TYPE_F32, width, 1);
        random(blk + "attn_k.weight", GGML_TYPE_Q5_0, width, kvWidth);
        random(blk + "attn_k.bias", GGML_TYPE_F32, kvWidth, 1);
        random(blk + "attn_v.weight", v, width, kvWidth);
        random(blk + "attn_v.bias", GGML_TYPE_F32, kvWidth, 1);
        random(blk + "attn_output.weight", GGML_TYPE_Q5_0, width, width);
        writer.tensor(blk + "ffn_norm.weight", GGML_TYPE_F32, width, 1, testing::ones(width));
        random(blk + "ffn_gate.weight", GGML_TYPE_Q5_0, width, feedForward);
        random(blk + "ffn_up.weight", GGML_TYPE_Q5_0, width, feedForward);
        random(blk + "ffn_down.weight", down, feedForward, width);
    }
    writer.write(file);
}

struct Model {
    testing::TempDir dir;
    LlamaRuntimeOptions options;

    Model() {
        const std::string corpus = std::string(promptInstructions) + "\n" + buildPrompt(emailRequest(600));
        writeRandomModelOfRealShape(dir / "models" / "shape.gguf", corpus);
        options.modelsFolder = dir / "models";
    }
};

Model& model() {
    static Model m;
    return m;
}

// Model load, instructions, prompt and answer, as for the first suggestion after start-up.
void BM_ColdFirstRequest(benchmark::State& state) {
    const std::string prompt = buildPrompt(emailRequest(600));
    LlamaRuntimeOptions options = model().options;
    options.threads = static_cast<int>(state.range(0));
    for (auto _ : state) {
        LlamaRuntime runtime(options);
        runtime.openSession(1, std::string(promptInstructions));
        const CompletionResult result = runtime.respond(1, prompt, answerTokens);
        if (!result.succeeded()) {
            state.SkipWithError(description(result.error()).c_str());
            return;
        }
        state.counters["tokens"] = static_cast<double>(runtime.evaluatedTokens());
    }
}
BENCHMARK(BM_ColdFirstRequest)
    ->ArgName("threads")
    ->Arg(2)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);

// Typing on: each request has two more characters than the one before, which was
// answered already, and runs in the warm session the provider keeps ready. Only the new
// prompt tokens and the answer are evaluated.
void BM_TwoMoreCharactersTyped(benchmark::State& state) {
    LlamaRuntimeOptions options = model().options;
    options.threads = static_cast<int>(state.range(0));
    static std::map<int, std::unique_ptr<LlamaRuntime>> runtimes;
    static std::map<int, std::size_t> typed;
    std::unique_ptr<LlamaRuntime>& runtime = runtimes[options.threads];
    static LlamaRuntime::SessionId next = 1;
    const std::string instructions(promptInstructions);
    if (!runtime) {
        runtime = std::make_unique<LlamaRuntime>(options);
        typed[options.threads] = 600;
        const auto first = next++;
        runtime->openSession(first, instructions);
        runtime->respond(first, buildPrompt(emailRequest(600)), answerTokens);
        runtime->closeSession(first);
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::size_t& characters = typed[options.threads];
        characters += 2;
        const std::string prompt = buildPrompt(emailRequest(characters));
        const auto session = next++;
        runtime->openSession(session, instructions);
        runtime->prewarm(session);
        const std::int64_t evaluated = runtime->evaluatedTokens();
        state.ResumeTiming();

        const CompletionResult result = runtime->respond(session, prompt, answerTokens);

        state.PauseTiming();
        runtime->closeSession(session);
        if (!result.succeeded()) {
            state.SkipWithError(description(result.error()).c_str());
            return;
        }
        state.counters["tokens"] = static_cast<double>(runtime->evaluatedTokens() - evaluated);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_TwoMoreCharactersTyped)
    ->ArgName("threads")
    ->Arg(2)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(15);

// The first suggestion in a new field: the previous request was in another application
// and field, and the provider's warm session was made since. Only what differs from the
// kept sequences is evaluated.
void BM_NewFieldAfterPrewarm(benchmark::State& state) {
    LlamaRuntimeOptions options = model().options;
    options.threads = static_cast<int>(state.range(0));
    LlamaRuntime runtime(options);
    const std::string instructions(promptInstructions);
    LlamaRuntime::SessionId next = 1;
    for (auto _ : state) {
        state.PauseTiming();
        const auto other = next++;
        runtime.openSession(other, instructions);
        runtime.respond(other, buildPrompt(chatRequest()), answerTokens);
        runtime.closeSession(other);
        const auto session = next++;
        runtime.openSession(session, instructions);
        runtime.prewarm(session);
        const std::int64_t evaluated = runtime.evaluatedTokens();
        state.ResumeTiming();

        const CompletionResult result =
            runtime.respond(session, buildPrompt(emailRequest(600)), answerTokens);

        state.PauseTiming();
        runtime.closeSession(session);
        if (!result.succeeded()) {
            state.SkipWithError(description(result.error()).c_str());
            return;
        }
        state.counters["tokens"] = static_cast<double>(runtime.evaluatedTokens() - evaluated);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_NewFieldAfterPrewarm)
    ->ArgName("threads")
    ->Arg(2)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(9);

// What the loaded model costs in resident memory once it has answered: weights touched,
// the kept sequences' cache and the compute buffers. Wisket's own idle footprint without a
// model comes on top.
std::int64_t residentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) {
            return std::stoll(line.substr(6));
        }
    }
    return 0;
}

void BM_ResidentMemoryOfLoadedModel(benchmark::State& state) {
    for (auto _ : state) {
        const std::int64_t before = residentKilobytes();
        LlamaRuntime runtime(model().options);
        runtime.openSession(1, std::string(promptInstructions));
        runtime.prewarm(1);
        const CompletionResult result = runtime.respond(1, buildPrompt(emailRequest(600)), answerTokens);
        if (!result.succeeded()) {
            state.SkipWithError(description(result.error()).c_str());
            return;
        }
        state.counters["added_MB"] = static_cast<double>(residentKilobytes() - before) / 1024.0;
    }
}
BENCHMARK(BM_ResidentMemoryOfLoadedModel)->Unit(benchmark::kMillisecond)->Iterations(1);

// The floor for both figures above: llama.cpp alone, with its default settings, in a
// minimal loop over the same tokens. The cache holds `kept` (the instructions, or the
// previous request); each round evaluates the rest of `request` and decodes as many tokens
// as the runtime does for an answer of answerTokens.
struct BareLlama {
    static constexpr std::size_t batchSize = 512;
    llama_model* model = nullptr;
    llama_context* context = nullptr;
    const llama_vocab* vocab = nullptr;

    explicit BareLlama(int threads) {
        llama_backend_init();
        model = llama_model_load_from_file((::model().options.modelsFolder / "shape.gguf").c_str(),
                                           llama_model_default_params());
        llama_context_params params = llama_context_default_params();
        params.n_ctx = 4096;
        params.n_batch = params.n_ubatch = batchSize;
        params.n_threads = params.n_threads_batch = threads;
        context = llama_init_from_model(model, params);
        vocab = llama_model_get_vocab(model);
    }
    ~BareLlama() {
        llama_free(context);
        llama_model_free(model);
    }
    BareLlama(const BareLlama&) = delete;
    BareLlama& operator=(const BareLlama&) = delete;

    std::vector<llama_token> tokens(const std::string& text) const {
        std::vector<llama_token> out(text.size() + 8);
        const int32_t n = llama_tokenize(vocab, text.data(), static_cast<int32_t>(text.size()), out.data(),
                                         static_cast<int32_t>(out.size()), true, true);
        out.resize(static_cast<std::size_t>(std::max(n, 0)));
        return out;
    }

    // Evaluates `batchTokens` after what the cache holds, a batch at a time.
    bool decode(std::vector<llama_token> batchTokens) {
        for (std::size_t start = 0; start < batchTokens.size(); start += batchSize) {
            const auto n = static_cast<int32_t>(std::min(batchSize, batchTokens.size() - start));
            if (llama_decode(context, llama_batch_get_one(batchTokens.data() + start, n)) != 0) {
                return false;
            }
        }
        return true;
    }
};

std::string chatml(const std::string& prompt) {
    return "<|im_start|>system\n" + std::string(promptInstructions) + "<|im_end|>\n<|im_start|>user\n" +
           prompt + "<|im_end|>\n<|im_start|>assistant\n";
}

void BM_BareLlamaCpp(benchmark::State& state) {
    BareLlama bare(static_cast<int>(state.range(1)));
    const bool newField = state.range(0) == 0;
    const std::vector<llama_token> kept = newField ? bare.tokens(chatml(buildPrompt(chatRequest())))
                                                   : bare.tokens(chatml(buildPrompt(emailRequest(600))));
    const std::vector<llama_token> request =
        bare.tokens(chatml(buildPrompt(emailRequest(newField ? 600 : 602))));
    const auto shared = static_cast<std::size_t>(
        std::mismatch(kept.begin(), kept.end(), request.begin(), request.end()).first - kept.begin());
    llama_memory_t memory = llama_get_memory(bare.context);
    llama_sampler* greedy = llama_sampler_init_greedy();
    bare.decode({kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(shared)});
    for (auto _ : state) {
        llama_memory_seq_rm(memory, 0, static_cast<llama_pos>(shared), -1);
        bool ok = bare.decode({request.begin() + static_cast<std::ptrdiff_t>(shared), request.end()});
        for (std::int64_t produced = 1; ok && produced < answerTokens; ++produced) {
            ok = bare.decode({llama_sampler_sample(greedy, bare.context, -1)});
        }
        if (!ok) {
            state.SkipWithError("llama_decode failed");
            break;
        }
        state.counters["tokens"] = static_cast<double>(request.size() - shared + answerTokens - 1);
    }
    llama_sampler_free(greedy);
}
BENCHMARK(BM_BareLlamaCpp)
    ->ArgNames({"field0_typed1", "threads"})
    ->ArgsProduct({{0, 1}, {2, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(9);

} // namespace
