#pragma once

// Fetches a model file into the models folder: the one time Wisket connects beyond this
// computer, and only when the user asks for it. Nothing the user typed is sent. The file
// grows as "<name>.part" beside its final place, a dropped connection resumes it with a
// Range request, and only a complete file with a valid GGUF header is renamed into place,
// so a half-written ".gguf" never exists for the model runtime to pick up.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace wisket {

struct DownloadProgress {
    std::uint64_t received = 0;           // bytes of the file so far, resumed ones included
    std::optional<std::uint64_t> total{}; // when the server says
    double bytesPerSecond = 0;            // in this download
    std::optional<double> secondsLeft{};  // when the total and a rate are known
};

// "120.3 MB of 468.6 MB, 5.2 MB/s, 1:10 left"; parts that are unknown are left out.
std::string progressText(const DownloadProgress& progress);

struct DownloadResult {
    enum class Outcome { saved, refused, noNetwork, httpStatus, diskFull, writeFailed, cancelled, badFile };
    Outcome outcome = Outcome::saved;
    std::filesystem::path file; // the model file, when saved
    std::string message;        // a sentence for the user
};

// True for an https:// address, and for http:// to a loopback host.
bool downloadAllowed(const std::string& url);

// The file name the download is saved under: the last path component of `url`, with
// ".gguf" added when it does not end so; "model.gguf" when the URL has none.
std::string modelFileName(const std::string& url);

// True when `file` starts with the GGUF magic and a version this runtime can read.
bool hasGgufHeader(const std::filesystem::path& file);

class ModelDownload {
public:
    using Progress = std::function<void(const DownloadProgress&)>;

    ModelDownload(std::string url, std::filesystem::path folder);
    ModelDownload(const ModelDownload&) = delete;
    ModelDownload& operator=(const ModelDownload&) = delete;

    // Runs the whole download on the calling thread, which must not be the main one.
    // `progress` runs on it too, at most ten times a second and once at the end.
    DownloadResult run(const Progress& progress);
    // Makes run() stop soon with `cancelled`, removing what it wrote. Any thread.
    void cancel() { m_cancelled = true; }

private:
    std::string m_url;
    std::filesystem::path m_folder;
    std::atomic<bool> m_cancelled = false;
};

// "Add model file…": copies `source` into `folder` under its own name, the same way (a
// part file, renamed into place only when whole and a GGUF model), reporting progress and
// stopping when `cancelled` becomes true. Never on the main thread.
DownloadResult copyModelFile(const std::filesystem::path& source, const std::filesystem::path& folder,
                             const ModelDownload::Progress& progress, const std::atomic<bool>& cancelled);

// `wisket --download-model [URL]`: downloads `url` (by default the settings' download
// address) into the models folder with a text progress bar on `out`, then selects the
// model. The exit status: 0 when saved, 1 otherwise.
int downloadModelCommand(std::optional<std::string> url, std::ostream& out);

} // namespace wisket
