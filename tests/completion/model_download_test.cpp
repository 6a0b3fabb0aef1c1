#include "completion/loopback_http_server.hpp"
#include "completion/model_download.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

using testing::LoopbackHttpServer;
using testing::readFile;
using testing::TempDir;
using Outcome = DownloadResult::Outcome;

// A GGUF header (magic, version 3) and enough varied bytes that a misplaced range shows.
std::string modelBytes() {
    std::string bytes("GGUF\x03\0\0\0", 8);
    for (int i = 0; bytes.size() < (1 << 20); ++i) {
        bytes += std::to_string(i * 7919 % 10007) + ',';
    }
    return bytes;
}

TEST(ModelDownload, ArrivesByteIdenticalWithProgressAlsoAfterADroppedConnection) {
    const std::string model = modelBytes();
    for (const std::optional<std::size_t> dropAfter :
         {std::optional<std::size_t>(), std::optional(model.size() / 2)}) {
        SCOPED_TRACE(dropAfter ? "dropped halfway" : "in one go");
        TempDir dir;
        LoopbackHttpServer server;
        server.setReply({.body = model, .dropAfter = dropAfter});
        ModelDownload download(server.url() + "/files/tiny.gguf?download=true", dir.path());
        std::vector<DownloadProgress> reports;
        const DownloadResult result = download.run([&](const DownloadProgress& p) { reports.push_back(p); });

        ASSERT_EQ(result.outcome, Outcome::saved) << result.message;
        EXPECT_EQ(result.file, dir / "tiny.gguf");
        EXPECT_EQ(readFile(dir / "tiny.gguf"), model);
        EXPECT_FALSE(std::filesystem::exists(dir / "tiny.gguf.part"));
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().received, model.size());
        EXPECT_EQ(reports.back().total, model.size());
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), dropAfter ? 2u : 1u);
        const auto range = requests.back().headers.find("range");
        EXPECT_EQ(range == requests.back().headers.end() ? "none" : range->second,
                  dropAfter ? "bytes=" + std::to_string(*dropAfter) + "-" : "none");
    }
}

TEST(ModelDownload, FailuresSaySoAndNeverLeaveAModelFile) {
    const std::string model = modelBytes();
    const std::string nowhere = "http://127.0.0.1:" + std::to_string(testing::unusedLoopbackPort());
    struct Case {
        std::string what;
        LoopbackHttpServer::Reply reply;
        Outcome outcome;
        std::string message;
        std::string url{};   // instead of the server's
        bool cancel = false; // from the first progress report
    };
    const Case cases[] = {
        {"not found", {.status = 404, .body = "no"}, Outcome::httpStatus, "HTTP status 404"},
        {"bad header", {.body = "<html>" + model}, Outcome::badFile, "not a GGUF model, so it was removed"},
        {"cancelled", {.body = model}, Outcome::cancelled, "Download cancelled.", {}, true},
        {"write failure", {.body = model}, Outcome::writeFailed, "Cannot write"},
        {"plain http elsewhere", {}, Outcome::refused, "https://", "http://example.com/tiny.gguf"},
        {"not http at all", {}, Outcome::refused, "https://", "ftp://127.0.0.1/tiny.gguf"},
        {"nothing listening", {}, Outcome::noNetwork, "Could not download from 127.0.0.1", nowhere},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        LoopbackHttpServer server;
        server.setReply(c.reply);
        if (c.what == "write failure") {
            std::filesystem::create_directory(dir / "tiny.gguf.part");
        }
        ModelDownload download(c.url.empty() ? server.url() + "/tiny.gguf" : c.url, dir.path());
        const DownloadResult result = download.run([&](const DownloadProgress&) {
            if (c.cancel) {
                download.cancel();
            }
        });
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_NE(result.message.find(c.message), std::string::npos) << result.message;
        EXPECT_FALSE(std::filesystem::exists(dir / "tiny.gguf"));
        if (c.outcome == Outcome::refused) {
            EXPECT_EQ(server.connections(), 0);
        }
    }
}

TEST(ModelDownload, NamesAndProgressText) {
    EXPECT_EQ(modelFileName("https://h/resolve/main/q.gguf?download=1"), "q.gguf");
    EXPECT_EQ(modelFileName("https://h/file"), "file.gguf");
    EXPECT_EQ(modelFileName("https://h/"), "model.gguf");
    EXPECT_EQ(
        progressText(
            {.received = 120'300'000, .total = 468'600'000, .bytesPerSecond = 5.2e6, .secondsLeft = 70}),
        "120.3 MB of 468.6 MB, 5.2 MB/s, 1:10 left");
    EXPECT_EQ(progressText({.received = 1'000'000}), "1.0 MB");
}

} // namespace
} // namespace wisket
