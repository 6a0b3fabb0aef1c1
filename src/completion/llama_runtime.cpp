#include "completion/llama_runtime.hpp"

#include "completion/clean.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <ggml-backend.h>
#include <ggml-cpu.h>
#include <link.h>
#include <llama.h>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace wisket {

namespace fs = std::filesystem;

namespace {

// The library prints nothing: the user's text must not end up in a log.
void silence(ggml_log_level, const char*, void*) {}

// The folder that ggml was loaded from: its CPU back ends (one library per instruction
// set) sit beside it and are chosen at run time.
std::string ggmlFolder() {
    std::string folder;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            const fs::path path = info->dlpi_name ? info->dlpi_name : "";
            if (path.filename().string().starts_with("libggml")) {
                *static_cast<std::string*>(data) = path.parent_path().string();
                return 1;
            }
            return 0;
        },
        &folder);
    return folder;
}

struct Backends {
    bool ready = false;
    std::string folder;
    // From the CPU back end, which is loaded at run time, so not linked.
    decltype(&ggml_threadpool_new) newThreadpool = nullptr;
    decltype(&ggml_threadpool_free) freeThreadpool = nullptr;
};

// Process-wide, once: ggml's registry of back ends is global.
const Backends& backends() {
    static const Backends loaded = [] {
        llama_log_set(silence, nullptr);
        llama_backend_init();
        Backends b;
        b.folder = ggmlFolder();
        if (!b.folder.empty()) {
            ggml_backend_load_all_from_path(b.folder.c_str());
        }
        ggml_backend_dev_t cpu = ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU);
        b.ready = cpu != nullptr;
        if (b.ready) {
            ggml_backend_reg_t reg = ggml_backend_dev_backend_reg(cpu);
            b.newThreadpool = reinterpret_cast<decltype(b.newThreadpool)>(
                ggml_backend_reg_get_proc_address(reg, "ggml_threadpool_new"));
            b.freeThreadpool = reinterpret_cast<decltype(b.freeThreadpool)>(
                ggml_backend_reg_get_proc_address(reg, "ggml_threadpool_free"));
        }
        return b;
    }();
    return loaded;
}

// A model file as it is now; a changed file is another model.
struct FileIdentity {
    fs::path path;
    std::uintmax_t size = 0;
    fs::file_time_type modified;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> identify(const fs::path& path) {
    std::error_code error;
    FileIdentity identity{path, fs::file_size(path, error), {}};
    if (error) {
        return std::nullopt;
    }
    identity.modified = fs::last_write_time(path, error);
    if (error) {
        return std::nullopt;
    }
    return identity;
}

// A file that does not even start like a model is known to be unusable without loading it.
bool looksLikeModel(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::array<char, 4> magic{};
    in.read(magic.data(), magic.size());
    return in && std::string_view(magic.data(), magic.size()) == "GGUF";
}

std::string cannotLoad(const fs::path& path) {
    return "The model file " + path.string() + " cannot be loaded.";
}

// Drops a character cut off by the token cap, and anything else that is not UTF-8.
std::string wholeCharacters(std::string bytes) {
    std::size_t end = bytes.size();
    for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if ((byte & 0xC0) != 0x80) {
            const std::size_t needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            if (needed > back) {
                end = bytes.size() - back;
            }
            break;
        }
    }
    bytes.resize(end);
    return isValidUtf8(bytes) ? bytes : repairUtf8(bytes);
}

// Cores, not hardware threads: two threads on one core share its arithmetic units, and
// llama.cpp's threads wait for the slowest at every step.
int physicalCores() {
    std::set<std::pair<std::string, std::string>> cores;
    std::error_code error;
    for (fs::directory_iterator it("/sys/devices/system/cpu", error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= 3 || !name.starts_with("cpu") ||
            !std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        std::ifstream package(it->path() / "topology" / "physical_package_id");
        std::ifstream core(it->path() / "topology" / "core_id");
        std::string packageId, coreId;
        if (package >> packageId && core >> coreId) {
            cores.emplace(packageId, coreId);
        }
    }
    return cores.empty() ? static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))
                         : static_cast<int>(cores.size());
}

// `requested` when positive, else WISKET_THREADS when it is a positive number, else one per
// physical core.
int threadCount(int requested) {
    if (requested > 0) {
        return std::min(requested, GGML_MAX_N_THREADS);
    }
    if (const char* variable = std::getenv("WISKET_THREADS")) {
        const std::string_view text(variable);
        int threads = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), threads);
        if (error == std::errc() && end == text.data() + text.size() && threads > 0) {
            return std::min(threads, GGML_MAX_N_THREADS);
        }
    }
    return physicalCores();
}

std::size_t commonPrefix(const std::vector<llama_token>& a, const std::vector<llama_token>& b) {
    const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return static_cast<std::size_t>(ia - a.begin());
}

// How the chat template frames one system turn and one user turn: the text before the
// instructions, between them and the prompt, and after the prompt (the assistant's start).
struct TurnFrame {
    std::string beforeInstructions;
    std::string betweenTurns = "\n\n";
    std::string afterPrompt;
};

TurnFrame frameOf(const llama_model* model) {
    const char* tmpl = llama_model_chat_template(model, nullptr);
    if (tmpl == nullptr) {
        return {};
    }
    // Render the template around two markers, then cut at them: the user's text is never
    // passed through the template, so it cannot be parsed as control tokens.
    const std::string system = "\x01", user = "\x02";
    const std::array<llama_chat_message, 2> turns{{{"system", system.c_str()}, {"user", user.c_str()}}};
    std::vector<char> buffer(1024);
    int32_t length = llama_chat_apply_template(tmpl, turns.data(), turns.size(), true, buffer.data(),
                                               static_cast<int32_t>(buffer.size()));
    if (length > static_cast<int32_t>(buffer.size())) {
        buffer.resize(static_cast<std::size_t>(length));
        length = llama_chat_apply_template(tmpl, turns.data(), turns.size(), true, buffer.data(), length);
    }
    if (length < 0) {
        return {};
    }
    const std::string rendered(buffer.data(), static_cast<std::size_t>(length));
    const std::size_t s = rendered.find(system);
    const std::size_t u = rendered.find(user);
    if (s == std::string::npos || u == std::string::npos || u < s) {
        return {};
    }
    return {rendered.substr(0, s), rendered.substr(s + 1, u - s - 1), rendered.substr(u + 1)};
}

// Sequence 0 holds the instructions alone and belongs to no session, so a request in a new
// field, application or text kind starts from them whatever the other sequences hold. The
// others serve sessions: answering, retrying and the previous requests.
constexpr llama_seq_id instructionsSequence = 0;
constexpr std::uint32_t sequenceCount = 5;
constexpr std::uint32_t batchTokens = 512;

} // namespace

fs::path defaultModelsFolder() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && fs::path(dataHome).is_absolute()) {
        return fs::path(dataHome) / "wisket" / "models";
    }
    const char* home = std::getenv("HOME");
    return fs::path(home != nullptr ? home : "") / ".local" / "share" / "wisket" / "models";
}

std::optional<fs::path> firstModelFile(const fs::path& folder) {
    std::error_code error;
    std::optional<fs::path> first;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const fs::path& path = it->path();
        if (path.extension() != ".gguf" || !it->is_regular_file(error)) {
            continue;
        }
        if (!first || path.filename().string() < first->filename().string()) {
            first = path;
        }
    }
    return first;
}

std::optional<fs::path> modelFile(const fs::path& folder, const std::string& chosen) {
    const fs::path file = folder / chosen;
    std::error_code error;
    // A name with a folder in it could reach outside the models folder.
    if (!chosen.empty() && file.parent_path() == folder && file.extension() == ".gguf" &&
        fs::is_regular_file(file, error)) {
        return file;
    }
    return firstModelFile(folder);
}

struct LlamaRuntime::Impl {
    // One sequence of the KV cache and the tokens it holds, in position order.
    struct Sequence {
        std::vector<llama_token> tokens;
        std::optional<SessionId> owner;
        std::uint64_t lastUse = 0;
    };
    struct Session {
        std::string instructions;
        std::optional<llama_seq_id> sequence;
    };

    explicit Impl(LlamaRuntimeOptions o)
        : options(std::move(o)) {
        options.threads = threadCount(options.threads);
    }

    ~Impl() { unload(); }

    // --- availability (any thread) ---

    std::optional<std::string> unavailableReason() {
        const Backends& b = backends();
        if (!b.ready) {
            return "The llama.cpp runtime libraries (libggml-cpu-*.so) are missing from " +
                   (b.folder.empty() ? std::string("the library folder") : b.folder) + ".";
        }
        const std::optional<fs::path> file = currentModelFile();
        if (!file) {
            return "No model file (.gguf) in " + options.modelsFolder.string() + ".";
        }
        const std::optional<FileIdentity> identity = identify(*file);
        if (!identity || !looksLikeModel(*file)) {
            return cannotLoad(*file);
        }
        const std::lock_guard lock(failureMutex);
        if (failedFile == identity) {
            return cannotLoad(*file);
        }
        return std::nullopt;
    }

    std::optional<fs::path> currentModelFile() {
        const std::lock_guard lock(choiceMutex);
        return modelFile(options.modelsFolder, chosenModel);
    }

    // --- model (worker thread) ---

    void unload() {
        if (batch.token != nullptr) {
            llama_batch_free(batch);
            batch = {};
        }
        if (sampler != nullptr) {
            llama_sampler_free(sampler);
            sampler = nullptr;
        }
        if (context != nullptr) {
            llama_free(context);
            context = nullptr;
        }
        if (threadpool != nullptr) {
            backends().freeThreadpool(threadpool);
            threadpool = nullptr;
        }
        if (model != nullptr) {
            llama_model_free(model);
            model = nullptr;
        }
        loaded.reset();
        sequences.clear();
        for (auto& [id, session] : sessions) {
            session.sequence.reset();
        }
    }

    // Makes the current model file the loaded one; its reason when it cannot be.
    std::optional<std::string> ensureModel() {
        if (auto reason = unavailableReason()) {
            unload();
            return reason;
        }
        const fs::path file = *currentModelFile();
        const std::optional<FileIdentity> identity = identify(file);
        if (model != nullptr && loaded == identity) {
            return std::nullopt;
        }
        unload();
        if (!load(file)) {
            unload();
            const std::lock_guard lock(failureMutex);
            failedFile = identity;
            return cannotLoad(file);
        }
        loaded = identity;
        return std::nullopt;
    }

    bool load(const fs::path& file) {
        llama_model_params modelParams = llama_model_default_params();
        modelParams.n_gpu_layers = 0;
        model = llama_model_load_from_file(file.c_str(), modelParams);
        if (model == nullptr) {
            return false;
        }
        vocab = llama_model_get_vocab(model);
        llama_context_params params = llama_context_default_params();
        const int32_t trained = llama_model_n_ctx_train(model);
        params.n_ctx = trained > 0 ? std::min(options.contextTokens, static_cast<std::uint32_t>(trained))
                                   : options.contextTokens;
        params.n_batch = batchTokens;
        params.n_ubatch = batchTokens;
        params.n_seq_max = sequenceCount;
        params.kv_unified = true; // sequences share the cells of a common prefix
        params.n_threads = options.threads;
        params.n_threads_batch = options.threads;
        params.no_perf = false;
        context = llama_init_from_model(model, params);
        if (context == nullptr) {
            return false;
        }
        attachThreadpool();
        contextTokens = llama_n_ctx(context);
        batch = llama_batch_init(static_cast<int32_t>(batchTokens), 0, 1);
        sampler = llama_sampler_init_greedy();
        frame = frameOf(model);
        sequences.assign(sequenceCount, Sequence{});
        return true;
    }

    // Without a pool of its own, llama.cpp starts threads for every evaluation, and they
    // spin while they wait; on a machine busy with other work that made one thread faster
    // than two. These threads sleep between evaluations.
    void attachThreadpool() {
        const Backends& b = backends();
        if (b.newThreadpool == nullptr || b.freeThreadpool == nullptr) {
            return;
        }
        ggml_threadpool_params params = ggml_threadpool_params_default(options.threads);
        params.poll = 0;
        threadpool = b.newThreadpool(&params);
        if (threadpool != nullptr) {
            llama_attach_threadpool(context, threadpool, threadpool);
        }
    }

    std::vector<llama_token> tokenize(std::string_view text, bool addSpecial, bool parseSpecial) const {
        if (text.empty() && !addSpecial) {
            return {};
        }
        const auto length = static_cast<int32_t>(text.size());
        const int32_t needed =
            -llama_tokenize(vocab, text.data(), length, nullptr, 0, addSpecial, parseSpecial);
        std::vector<llama_token> tokens(static_cast<std::size_t>(std::max(needed, 0)));
        const int32_t got = llama_tokenize(vocab, text.data(), length, tokens.data(),
                                           static_cast<int32_t>(tokens.size()), addSpecial, parseSpecial);
        tokens.resize(static_cast<std::size_t>(std::max(got, 0)));
        return tokens;
    }

    // The tokens every request of a session starts with: the system turn and the start of
    // the user turn. Template text may hold control tokens; the instructions may not.
    std::vector<llama_token> instructionTokens(const std::string& instructions) const {
        std::vector<llama_token> tokens = tokenize(frame.beforeInstructions, true, true);
        for (const auto& part :
             {tokenize(instructions, false, false), tokenize(frame.betweenTurns, false, true)}) {
            tokens.insert(tokens.end(), part.begin(), part.end());
        }
        return tokens;
    }

    std::vector<llama_token> requestTokens(const std::string& instructions, const std::string& prompt) const {
        std::vector<llama_token> tokens = instructionTokens(instructions);
        for (const auto& part : {tokenize(prompt, false, false), tokenize(frame.afterPrompt, false, true)}) {
            tokens.insert(tokens.end(), part.begin(), part.end());
        }
        return tokens;
    }

    // --- sequences (worker thread) ---

    // The session's sequence, taking a free one, else the least recently used one that no
    // other session holds.
    std::optional<llama_seq_id> sequenceOf(SessionId id) {
        const auto found = sessions.find(id);
        if (found == sessions.end()) {
            return std::nullopt;
        }
        Session& session = found->second;
        if (!session.sequence) {
            std::optional<llama_seq_id> pick;
            auto rank = [&](llama_seq_id s) {
                const Sequence& q = sequences[static_cast<std::size_t>(s)];
                return std::make_tuple(q.owner.has_value(), !q.tokens.empty(), q.lastUse);
            };
            for (llama_seq_id s = instructionsSequence + 1; s < static_cast<llama_seq_id>(sequences.size());
                 ++s) {
                if (!sequences[static_cast<std::size_t>(s)].owner && (!pick || rank(s) < rank(*pick))) {
                    pick = s;
                }
            }
            if (!pick) {
                return std::nullopt;
            }
            sequences[static_cast<std::size_t>(*pick)].owner = id;
            session.sequence = pick;
        }
        sequences[static_cast<std::size_t>(*session.sequence)].lastUse = ++useClock;
        return session.sequence;
    }

    bool decode(llama_seq_id seq, const llama_token* tokens, std::size_t count, bool logitsForLast) {
        Sequence& sequence = sequences[static_cast<std::size_t>(seq)];
        for (std::size_t start = 0; start < count; start += batchTokens) {
            const std::size_t n = std::min<std::size_t>(batchTokens, count - start);
            batch.n_tokens = static_cast<int32_t>(n);
            for (std::size_t i = 0; i < n; ++i) {
                batch.token[i] = tokens[start + i];
                batch.pos[i] = static_cast<llama_pos>(sequence.tokens.size() + i);
                batch.n_seq_id[i] = 1;
                batch.seq_id[i][0] = seq;
                batch.logits[i] = logitsForLast && start + i + 1 == count;
            }
            if (llama_decode(context, batch) != 0) {
                llama_memory_seq_rm(llama_get_memory(context), seq,
                                    static_cast<llama_pos>(sequence.tokens.size()), -1);
                return false;
            }
            sequence.tokens.insert(sequence.tokens.end(), tokens + start, tokens + start + n);
        }
        return true;
    }

    // Brings `seq` to hold exactly `target`, starting from the longest prefix that any
    // sequence already holds. With `logitsForLast`, at least the last token is evaluated,
    // so that its logits are there to sample from.
    bool evaluate(llama_seq_id seq, const std::vector<llama_token>& target, bool logitsForLast) {
        llama_memory_t memory = llama_get_memory(context);
        llama_seq_id source = seq;
        std::size_t shared = commonPrefix(sequences[static_cast<std::size_t>(seq)].tokens, target);
        for (llama_seq_id s = 0; s < static_cast<llama_seq_id>(sequences.size()); ++s) {
            const std::size_t n = commonPrefix(sequences[static_cast<std::size_t>(s)].tokens, target);
            if (n > shared) {
                source = s;
                shared = n;
            }
        }
        if (logitsForLast && shared == target.size()) {
            --shared;
        }
        Sequence& sequence = sequences[static_cast<std::size_t>(seq)];
        if (source != seq) {
            llama_memory_seq_rm(memory, seq, -1, -1);
            llama_memory_seq_cp(memory, source, seq, 0, static_cast<llama_pos>(shared));
        } else {
            llama_memory_seq_rm(memory, seq, static_cast<llama_pos>(shared), -1);
        }
        sequence.tokens.assign(target.begin(), target.begin() + static_cast<std::ptrdiff_t>(shared));
        if (decode(seq, target.data() + shared, target.size() - shared, logitsForLast)) {
            return true;
        }
        // The cache is full: drop what no session holds and try once more from scratch.
        for (llama_seq_id s = 0; s < static_cast<llama_seq_id>(sequences.size()); ++s) {
            if (s != seq && !sequences[static_cast<std::size_t>(s)].owner) {
                llama_memory_seq_rm(memory, s, -1, -1);
                sequences[static_cast<std::size_t>(s)].tokens.clear();
            }
        }
        llama_memory_seq_rm(memory, seq, -1, -1);
        sequence.tokens.clear();
        return decode(seq, target.data(), target.size(), logitsForLast);
    }

    std::string piece(llama_token token) const {
        std::array<char, 256> buffer{};
        const int32_t n =
            llama_token_to_piece(vocab, token, buffer.data(), static_cast<int32_t>(buffer.size()), 0, false);
        return n > 0 ? std::string(buffer.data(), static_cast<std::size_t>(n)) : std::string();
    }

    CompletionResult respond(SessionId id, const std::string& prompt, std::int64_t maxTokens) {
        if (auto reason = ensureModel()) {
            return CompletionResult::failure(CompletionError::unavailable(*reason));
        }
        const std::optional<llama_seq_id> seq = sequenceOf(id);
        if (!seq) {
            return CompletionResult::failure(
                ModelError{ModelError::Kind::failed, "The session is not open."});
        }
        const std::vector<llama_token> target = requestTokens(sessions.at(id).instructions, prompt);
        if (target.empty() || target.size() >= contextTokens) {
            return CompletionResult::failure(
                ModelError{ModelError::Kind::failed, "The prompt does not fit the model."});
        }
        if (!evaluate(*seq, target, true)) {
            return CompletionResult::failure(
                ModelError{ModelError::Kind::failed, "The model could not read the prompt."});
        }
        const std::int64_t room =
            static_cast<std::int64_t>(contextTokens) - static_cast<std::int64_t>(target.size());
        const std::int64_t cap = std::min(maxTokens, room);
        std::string answer;
        llama_sampler_reset(sampler);
        for (std::int64_t produced = 0; produced < cap; ++produced) {
            const llama_token token = llama_sampler_sample(sampler, context, -1);
            if (llama_vocab_is_eog(vocab, token)) {
                break;
            }
            answer += piece(token);
            if (produced + 1 < cap && !decode(*seq, &token, 1, true)) {
                return CompletionResult::failure(
                    ModelError{ModelError::Kind::failed, "The model stopped answering."});
            }
        }
        answer = wholeCharacters(std::move(answer));
        if (isRefusal(answer)) {
            return CompletionResult::failure(ModelError{ModelError::Kind::refusal, {}});
        }
        return CompletionResult::answer(std::move(answer));
    }

    // The session's request will start from the instructions' sequence; nothing is done
    // when it holds them already.
    void prewarm(SessionId id) {
        const auto session = sessions.find(id);
        if (session == sessions.end() || ensureModel()) {
            return;
        }
        evaluate(instructionsSequence, instructionTokens(session->second.instructions), false);
    }

    void closeSession(SessionId id) {
        const auto found = sessions.find(id);
        if (found == sessions.end()) {
            return;
        }
        // The sequence stays as it is: the next request may share much of it.
        if (found->second.sequence && static_cast<std::size_t>(*found->second.sequence) < sequences.size()) {
            sequences[static_cast<std::size_t>(*found->second.sequence)].owner.reset();
        }
        sessions.erase(found);
    }

    LlamaRuntimeOptions options;

    std::mutex failureMutex;
    std::optional<FileIdentity> failedFile; // guarded by failureMutex

    std::mutex choiceMutex;
    std::string chosenModel; // guarded by choiceMutex

    llama_model* model = nullptr;
    const llama_vocab* vocab = nullptr;
    llama_context* context = nullptr;
    ggml_threadpool_t threadpool = nullptr;
    llama_sampler* sampler = nullptr;
    llama_batch batch{};
    std::uint32_t contextTokens = 0;
    std::optional<FileIdentity> loaded;
    TurnFrame frame;
    std::vector<Sequence> sequences;
    std::map<SessionId, Session> sessions;
    std::uint64_t useClock = 0;
};

LlamaRuntime::LlamaRuntime(LlamaRuntimeOptions options)
    : m(std::make_unique<Impl>(std::move(options))) {}

LlamaRuntime::~LlamaRuntime() = default;

std::optional<std::string> LlamaRuntime::unavailableReason() {
    return m->unavailableReason();
}

void LlamaRuntime::selectModel(const std::string& fileName) {
    const std::lock_guard lock(m->choiceMutex);
    m->chosenModel = fileName;
}

void LlamaRuntime::openSession(SessionId id, const std::string& instructions) {
    m->sessions[id] = Impl::Session{instructions, std::nullopt};
}

void LlamaRuntime::prewarm(SessionId id) {
    m->prewarm(id);
}

CompletionResult LlamaRuntime::respond(SessionId id, const std::string& prompt, std::int64_t maxTokens) {
    return m->respond(id, prompt, maxTokens);
}

void LlamaRuntime::closeSession(SessionId id) {
    m->closeSession(id);
}

std::int64_t LlamaRuntime::evaluatedTokens() const {
    if (m->context == nullptr) {
        return 0;
    }
    llama_synchronize(m->context); // the counters count a batch once it is computed
    const llama_perf_context_data data = llama_perf_context(m->context);
    return std::int64_t{data.n_p_eval} + data.n_eval;
}

} // namespace wisket
