#include "completion/model_download.hpp"

#include "completion/llama_runtime.hpp"
#include "completion/local_http_provider.hpp"
#include "settings/settings.hpp"

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <fstream>
#include <memory>
#include <unistd.h>
#include <vector>

namespace wisket {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Room left beside the model, so the download never fills the disk to the last byte.
constexpr std::uint64_t spareBytes = 64ull << 20;
// Connections dropped while bytes still arrive are resumed this many times in one run.
constexpr int resumeAttempts = 5;
constexpr auto progressInterval = std::chrono::milliseconds(100);

std::string megabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
    return text;
}

std::string duration(double seconds) {
    const long whole = std::lround(seconds);
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    }
    return text;
}

bool transient(CURLcode code) {
    return code == CURLE_PARTIAL_FILE || code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR ||
           code == CURLE_GOT_NOTHING || code == CURLE_OPERATION_TIMEDOUT || code == CURLE_HTTP2_STREAM;
}

std::uint64_t fileSize(const fs::path& file) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    return error ? 0 : size;
}

// One connection's worth of the download: appends what arrives to the part file.
struct Transfer {
    std::FILE* out = nullptr;
    CURL* easy = nullptr;
    fs::path folder;
    std::uint64_t offset = 0;                      // bytes of the part file before this connection
    std::optional<std::uint64_t>* total = nullptr; // the whole file's size, once known
    std::uint64_t written = 0;
    bool started = false;
    int writeErrno = 0;
    std::optional<DownloadResult> stop{}; // why the write callback ended the transfer

    // The first bytes of a reply: a server that ignored the Range request sends the whole
    // file again, and the size is known now, so the disk can be checked before any write.
    bool begin() {
        started = true;
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (status != 206 && offset > 0) {
            if (std::fflush(out) != 0 || ftruncate(fileno(out), 0) != 0 ||
                std::fseek(out, 0, SEEK_SET) != 0) {
                writeErrno = errno;
                return false;
            }
            offset = 0;
        }
        curl_off_t length = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (length >= 0) {
            *total = offset + std::uint64_t(length);
            std::error_code error;
            const fs::space_info space = fs::space(folder, error);
            if (!error && space.available < std::uint64_t(length) + spareBytes) {
                stop = DownloadResult{DownloadResult::Outcome::diskFull,
                                      {},
                                      "Not enough disk space: the model needs " + megabytes(**total) +
                                          " and only " + megabytes(space.available) + " are free."};
                return false;
            }
        }
        return true;
    }

    static std::size_t write(char* data, std::size_t size, std::size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        const std::size_t bytes = size * count;
        if (!t->started && !t->begin()) {
            return 0;
        }
        if (std::fwrite(data, 1, bytes, t->out) != bytes) {
            t->writeErrno = errno;
            return 0;
        }
        t->written += bytes;
        return bytes;
    }
};

DownloadResult cannotWrite(const fs::path& part, int code) {
    if (code == ENOSPC) {
        return {DownloadResult::Outcome::diskFull, {}, "The disk is full. Free some space and try again."};
    }
    return {DownloadResult::Outcome::writeFailed,
            {},
            "Cannot write " + part.string() + ": " + std::strerror(code) + "."};
}

DownloadResult cancelledResult(const fs::path& part) {
    std::error_code error;
    fs::remove(part, error);
    return {DownloadResult::Outcome::cancelled, {}, "Download cancelled."};
}

// Renames a finished part file into place when it is whole and a model; else removes it.
DownloadResult placeModel(const fs::path& part, const fs::path& target, std::optional<std::uint64_t> total) {
    std::error_code error;
    const std::uint64_t size = fileSize(part);
    if ((total && size != *total) || !hasGgufHeader(part)) {
        fs::remove(part, error);
        return {DownloadResult::Outcome::badFile, {}, "The file is not a GGUF model, so it was removed."};
    }
    fs::rename(part, target, error);
    if (error) {
        return cannotWrite(part, error.value());
    }
    return {DownloadResult::Outcome::saved, target,
            "Saved " + target.filename().string() + " (" + megabytes(size) + ")."};
}

fs::path partFile(const fs::path& target) {
    return fs::path(target) += ".part";
}

struct CurlDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};

} // namespace

std::string progressText(const DownloadProgress& progress) {
    std::string text = megabytes(progress.received);
    if (progress.total) {
        text += " of " + megabytes(*progress.total);
    }
    if (progress.bytesPerSecond > 0) {
        text += ", " + megabytes(std::uint64_t(progress.bytesPerSecond)) + "/s";
    }
    if (progress.secondsLeft) {
        text += ", " + duration(*progress.secondsLeft) + " left";
    }
    return text;
}

bool downloadAllowed(const std::string& url) {
    const std::optional<UrlOrigin> origin = urlOrigin(url);
    return origin &&
           (origin->scheme == "https" || (origin->scheme == "http" && isLoopbackHost(origin->host)));
}

std::string modelFileName(const std::string& url) {
    std::string path = url.substr(0, url.find_first_of("?#"));
    const std::size_t schemeEnd = path.find("://");
    const std::size_t pathStart = path.find('/', schemeEnd == std::string::npos ? 0 : schemeEnd + 3);
    std::string name = pathStart == std::string::npos ? "" : path.substr(path.rfind('/') + 1);
    if (name.empty() || name == "." || name == "..") {
        return "model.gguf";
    }
    if (!name.ends_with(".gguf")) {
        name += ".gguf";
    }
    return name;
}

bool hasGgufHeader(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::array<unsigned char, 8> head{};
    in.read(reinterpret_cast<char*>(head.data()), head.size());
    if (!in || std::memcmp(head.data(), "GGUF", 4) != 0) {
        return false;
    }
    const std::uint32_t version = head[4] | head[5] << 8 | head[6] << 16 | std::uint32_t(head[7]) << 24;
    return version >= 1 && version <= 3;
}

ModelDownload::ModelDownload(std::string url, fs::path folder)
    : m_url(std::move(url))
    , m_folder(std::move(folder)) {}

DownloadResult ModelDownload::run(const Progress& progress) {
    using Outcome = DownloadResult::Outcome;
    if (!downloadAllowed(m_url)) {
        return {Outcome::refused,
                {},
                "Only an https:// address, or an http:// address on this computer, can be downloaded from."};
    }
    const fs::path target = m_folder / modelFileName(m_url);
    const fs::path part = partFile(target);
    std::error_code error;
    fs::create_directories(m_folder, error);

    curl_global_init(CURL_GLOBAL_DEFAULT);
    const std::string host = urlOrigin(m_url)->host;
    const Clock::time_point start = Clock::now();
    Clock::time_point lastReport{};
    const std::uint64_t resumedFrom = fileSize(part);
    std::optional<std::uint64_t> total;
    auto report = [&](std::uint64_t received, bool final) {
        const Clock::time_point now = Clock::now();
        if (!progress || (!final && now - lastReport < progressInterval)) {
            return;
        }
        lastReport = now;
        DownloadProgress p{.received = received, .total = total};
        const double seconds = std::chrono::duration<double>(now - start).count();
        if (seconds > 0 && received > resumedFrom) {
            p.bytesPerSecond = double(received - resumedFrom) / seconds;
            if (total && *total >= received) {
                p.secondsLeft = double(*total - received) / p.bytesPerSecond;
            }
        }
        progress(p);
    };

    for (int attempt = 0;; ++attempt) {
        const std::unique_ptr<std::FILE, decltype(&std::fclose)> out(std::fopen(part.c_str(), "ab"),
                                                                     &std::fclose);
        if (!out) {
            return cannotWrite(part, errno);
        }
        const std::unique_ptr<CURL, CurlDeleter> easy(curl_easy_init());
        Transfer transfer{.out = out.get(),
                          .easy = easy.get(),
                          .folder = m_folder,
                          .offset = fileSize(part),
                          .total = &total};
        char errorText[CURL_ERROR_SIZE] = {};
        const std::string range = std::to_string(transfer.offset) + "-";
        struct Watch {
            ModelDownload* self;
            Transfer* transfer;
            decltype(report)* reportProgress;
        } watch{this, &transfer, &report};
        curl_easy_setopt(easy.get(), CURLOPT_URL, m_url.c_str());
        // Redirects (a mirror or a CDN) must stay encrypted; loopback stays unproxied.
        curl_easy_setopt(easy.get(), CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy.get(), CURLOPT_REDIR_PROTOCOLS_STR, "https");
        curl_easy_setopt(easy.get(), CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy.get(), CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(easy.get(), CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
        curl_easy_setopt(easy.get(), CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
        curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy.get(), CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(easy.get(), CURLOPT_CONNECTTIMEOUT, 20L);
        curl_easy_setopt(easy.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy.get(), CURLOPT_LOW_SPEED_TIME, 30L);
        curl_easy_setopt(easy.get(), CURLOPT_USERAGENT, "Wisket");
        curl_easy_setopt(easy.get(), CURLOPT_ERRORBUFFER, errorText);
        if (transfer.offset > 0) {
            curl_easy_setopt(easy.get(), CURLOPT_RANGE, range.c_str());
        }
        curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &Transfer::write);
        curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy.get(), CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy.get(), CURLOPT_XFERINFODATA, &watch);
        curl_easy_setopt(
            easy.get(), CURLOPT_XFERINFOFUNCTION,
            +[](void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) -> int {
                auto* w = static_cast<Watch*>(user);
                if (w->transfer->started) {
                    (*w->reportProgress)(w->transfer->offset + w->transfer->written, false);
                }
                return w->self->m_cancelled ? 1 : 0;
            });
        const CURLcode code = curl_easy_perform(easy.get());
        const int flushed = std::fflush(out.get()) == 0 ? 0 : errno;
        if (m_cancelled) {
            return cancelledResult(part);
        }
        if (transfer.stop) {
            return *transfer.stop;
        }
        if (transfer.writeErrno != 0 || flushed != 0) {
            return cannotWrite(part, transfer.writeErrno != 0 ? transfer.writeErrno : flushed);
        }
        if (code == CURLE_HTTP_RETURNED_ERROR) {
            long status = 0;
            curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
            if (status == 416 && transfer.offset > 0) {
                // The part file no longer matches what the server has: start over.
                fs::resize_file(part, 0, error);
                continue;
            }
            return {Outcome::httpStatus,
                    {},
                    "The server answered with HTTP status " + std::to_string(status) + "."};
        }
        if (code != CURLE_OK) {
            const std::string why = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
            if (transient(code) && transfer.written > 0 && attempt + 1 < resumeAttempts) {
                continue;
            }
            return {
                Outcome::noNetwork,
                {},
                "Could not download from " + host + " (" + why +
                    "). Check the network connection and try again; the download resumes where it stopped."};
        }
        break;
    }

    report(fileSize(part), true);
    if (m_cancelled) {
        return cancelledResult(part);
    }
    return placeModel(part, target, total);
}

DownloadResult copyModelFile(const fs::path& source, const fs::path& folder,
                             const ModelDownload::Progress& progress, const std::atomic<bool>& cancelled) {
    const fs::path target = folder / source.filename();
    const fs::path part = partFile(target);
    std::error_code error;
    fs::create_directories(folder, error);
    std::ifstream in(source, std::ios::binary);
    if (!in) {
        return {DownloadResult::Outcome::writeFailed, {}, "Cannot read " + source.string() + "."};
    }
    const std::unique_ptr<std::FILE, decltype(&std::fclose)> out(std::fopen(part.c_str(), "wb"),
                                                                 &std::fclose);
    if (!out) {
        return cannotWrite(part, errno);
    }
    const DownloadProgress whole{.total = fileSize(source)};
    DownloadProgress p = whole;
    std::vector<char> buffer(1 << 20);
    Clock::time_point lastReport{};
    while (in.read(buffer.data(), std::streamsize(buffer.size())) || in.gcount() > 0) {
        if (cancelled) {
            return cancelledResult(part);
        }
        const auto bytes = std::size_t(in.gcount());
        if (std::fwrite(buffer.data(), 1, bytes, out.get()) != bytes) {
            const int code = errno;
            fs::remove(part, error);
            return cannotWrite(part, code);
        }
        p.received += bytes;
        if (progress && Clock::now() - lastReport >= progressInterval) {
            lastReport = Clock::now();
            progress(p);
        }
    }
    if (std::fflush(out.get()) != 0) {
        const int code = errno;
        fs::remove(part, error);
        return cannotWrite(part, code);
    }
    if (progress) {
        progress(p);
    }
    return placeModel(part, target, whole.total);
}

int downloadModelCommand(std::optional<std::string> url, std::ostream& out) {
    Settings& settings = Settings::shared();
    ModelDownload download(url.value_or(settings.modelDownloadURL()), defaultModelsFolder());
    const DownloadResult result = download.run([&out](const DownloadProgress& p) {
        constexpr int width = 30;
        const double fraction = p.total && *p.total > 0 ? double(p.received) / double(*p.total) : 0;
        const int filled = int(fraction * width);
        out << "\r[" << std::string(filled, '#') << std::string(width - filled, ' ') << "] "
            << int(fraction * 100) << "%  " << progressText(p) << "   " << std::flush;
    });
    out << '\n' << result.message << '\n';
    if (result.outcome != DownloadResult::Outcome::saved) {
        return 1;
    }
    settings.setOnDeviceModel(result.file.filename().string());
    return 0;
}

} // namespace wisket
