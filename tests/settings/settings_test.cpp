#include "settings/settings.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

namespace wisket {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

nlohmann::json stored(const TempDir& dir) {
    return nlohmann::json::parse(readFile(dir / "settings.json"));
}

// Every field as it is stored, under its key (enumerations as raw values).
template <auto getter> nlohmann::json storedForm(const Settings& s) {
    if constexpr (std::is_enum_v<std::invoke_result_t<decltype(getter), const Settings&>>) {
        return std::string(rawValue((s.*getter)()));
    } else {
        return (s.*getter)();
    }
}
using Read = nlohmann::json (*)(const Settings&);
const std::map<std::string, Read> fields{
    {"enabled", storedForm<&Settings::enabled>},
    {"provider", storedForm<&Settings::provider>},
    {"ollamaURL", storedForm<&Settings::ollamaURL>},
    {"ollamaModel", storedForm<&Settings::ollamaModel>},
    {"debounceMs", storedForm<&Settings::debounceMs>},
    {"maxWords", storedForm<&Settings::maxWords>},
    {"adaptiveLength", storedForm<&Settings::adaptiveLength>},
    {"lengthPreference", storedForm<&Settings::lengthPreference>},
    {"acceptKey", storedForm<&Settings::acceptKey>},
    {"optionAcceptsWord", storedForm<&Settings::optionAcceptsWord>},
    {"continueAfterAccept", storedForm<&Settings::continueAfterAccept>},
    {"ghostOpacity", storedForm<&Settings::ghostOpacity>},
    {"showKeyHint", storedForm<&Settings::showKeyHint>},
    {"useScreenContext", storedForm<&Settings::useScreenContext>},
    {"keystrokeFallback", storedForm<&Settings::keystrokeFallback>},
    {"excluded", storedForm<&Settings::excludedAppIDs>},
    {"onDeviceModel", storedForm<&Settings::onDeviceModel>},
    {"modelDownloadURL", storedForm<&Settings::modelDownloadURL>},
};

// A hand-edited file or another tool may store anything under a key: what does not have
// the key's type, or lies outside its range, must not reach the pipeline.
TEST(Settings, StoredValuesOfTheWrongTypeOrOutOfRangeNeverPoisonTheSettings) {
    const nlohmann::json defaultList = Settings::defaultExcludedAppIDs();
    const std::tuple<std::string, nlohmann::json, nlohmann::json> cases[] = {
        {"enabled", false, false},
        {"enabled", "false", true},
        {"provider", "ollama", "ollama"},
        {"provider", "Ollama", "apple"}, // raw values are case-sensitive
        {"provider", 1, "apple"},
        {"ollamaURL", 42, "http://127.0.0.1:11434"},
        {"ollamaModel", nullptr, "qwen2.5:1.5b"},
        {"debounceMs", 250, 250.0},
        {"debounceMs", "250", 180.0},
        {"debounceMs", 0, 60.0},
        {"debounceMs", 1e9, 600.0},
        {"maxWords", 5.7, 5},
        {"maxWords", 0, 1},
        {"maxWords", 40, 12},
        {"maxWords", "4", 8},
        {"adaptiveLength", 0, true},
        {"lengthPreference", "longer", "longer"},
        {"lengthPreference", "", "balanced"},
        {"acceptKey", "space", "tab"},
        {"ghostOpacity", 0.5, 0.5},
        {"ghostOpacity", 0.05, 0.3},
        {"ghostOpacity", 7, 0.9},
        {"ghostOpacity", -0.5, 0.9},
        {"excluded", nlohmann::json::array({"a"}), nlohmann::json::array({"a"})},
        {"excluded", nlohmann::json::array({"a", 3}), defaultList},
        {"excluded", "a", defaultList},
        {"onDeviceModel", "tiny.gguf", "tiny.gguf"},
        {"onDeviceModel", 3, ""},
        {"modelDownloadURL", false, Settings::defaultModelDownloadURL},
    };
    TempDir dir;
    for (const auto& [key, value, read] : cases) {
        SCOPED_TRACE(key + " stored as " + value.dump());
        writeFile(dir / "settings.json", nlohmann::json{{key, value}}.dump());
        EXPECT_EQ(fields.at(key)(Settings(dir / "settings.json")), read);
    }
}

// Start-up corrects what it reads without writing it back, and "apple" still names the
// on-device provider; a corrupt file is kept aside and the defaults apply.
TEST(Settings, StartUpWritesNothingBackAndKeepsACorruptFileAside) {
    TempDir dir;
    writeFile(dir / "settings.json", R"({"maxWords": 40, "provider": "apple"})");
    Settings s(dir / "settings.json");
    EXPECT_EQ(s.provider(), ProviderKind::onDevice);
    EXPECT_EQ(stored(dir)["maxWords"], 40);
    s.setProvider(ProviderKind::onDevice);
    EXPECT_EQ(stored(dir)["provider"], "apple");

    writeFile(dir / "settings.json", "{\"maxWords\": 4,, oops");
    Settings corrupt(dir / "settings.json");
    EXPECT_EQ(corrupt.maxWords(), 8);
    EXPECT_EQ(readFile(dir / "settings.json"), "{\"maxWords\": 4,, oops"); // reading changes nothing
    corrupt.setMaxWords(6);
    EXPECT_EQ(readFile(dir / "settings.json.bad"), "{\"maxWords\": 4,, oops");
    EXPECT_EQ(stored(dir)["maxWords"], 6);

    writeFile(dir / "settings.json", "[1, 2]"); // JSON, but not an object
    EXPECT_TRUE(Settings(dir / "settings.json").enabled());
}

TEST(Settings, AssignmentNotifiesFirstThenWritesEvenWhenUnchangedAndExclusionsAreExact) {
    TempDir dir;
    Settings s(dir / "settings.json");
    std::vector<int> seenMaxWords;
    s.addObserver([&] { seenMaxWords.push_back(s.maxWords()); });
    s.setMaxWords(30);                            // assignment does not clamp
    EXPECT_EQ(seenMaxWords, std::vector<int>{8}); // notified before the change
    EXPECT_EQ(s.maxWords(), 30);
    EXPECT_EQ(stored(dir)["maxWords"], 30);

    std::filesystem::remove(dir / "settings.json");
    s.setEnabled(true); // unchanged, still written
    EXPECT_EQ(stored(dir)["enabled"], true);
    s.setAcceptKey(AcceptKey::rightArrow);
    EXPECT_EQ(stored(dir)["acceptKey"], "rightArrow");
    EXPECT_EQ(Settings(dir / "settings.json").acceptKey(), AcceptKey::rightArrow);

    // Exclusions are exact and include this application.
    EXPECT_TRUE(s.isExcluded("com.apple.Terminal"));
    EXPECT_FALSE(s.isExcluded("com.apple.terminal"));
    EXPECT_FALSE(s.isExcluded(std::nullopt));
    s.setExcludedAppIDs({});
    EXPECT_TRUE(s.isExcluded("wisket"));

    s.setExcludedAppIDs({"a", "b", "a"});
    s.toggleExcluded("a");
    EXPECT_EQ(s.excludedAppIDs(), (std::vector<std::string>{"b", "a"}));
    s.toggleExcluded("org.gnome.gedit");
    EXPECT_EQ(stored(dir)["excluded"], nlohmann::json({"b", "a", "org.gnome.gedit"}));
}

TEST(Settings, ResetAllRestoresAndWritesEveryDefaultOnce) {
    TempDir dir;
    const Settings fresh(dir / "fresh.json");
    EXPECT_FALSE(std::filesystem::exists(dir / "fresh.json")); // defaults alone write nothing
    Settings s(dir / "settings.json");
    s.setMaxWords(3);
    s.setExcludedAppIDs({"x"});
    int notifications = 0;
    s.addObserver([&] { ++notifications; });
    s.resetAll();
    EXPECT_EQ(notifications, int(fields.size()));
    nlohmann::json file = stored(dir);
    EXPECT_EQ(file.size(), fields.size());
    for (const auto& [key, read] : fields) {
        EXPECT_EQ(read(s), read(fresh)) << key;
        EXPECT_EQ(file[key], read(fresh)) << key;
    }
}

TEST(Settings, AnInterruptedWriteLeavesTheOldFileWhole) {
    TempDir dir;
    {
        Settings s(dir / "settings.json");
        s.setMaxWords(5);
    }
    // A child writes in a loop and is killed mid-way, many times over.
    for (int round = 0; round < 20; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Settings s(dir / "settings.json");
            for (int i = 0;; ++i) {
                s.setExcludedAppIDs(std::vector<std::string>(200 + i % 50, "some.application.id"));
            }
        }
        usleep(2000 + round * 300);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        EXPECT_TRUE(nlohmann::json::accept(readFile(dir / "settings.json"))) << "round " << round;
    }
    EXPECT_EQ(Settings(dir / "settings.json").maxWords(), 5);
}

TEST(Settings, StandardLocationFollowsXdgConfigHome) {
    setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
    EXPECT_EQ(DefaultsStore::standardLocation(), std::filesystem::path("/tmp/cfg/wisket/settings.json"));
    setenv("XDG_CONFIG_HOME", "relative", 1); // not absolute: ignored, as the XDG rules say
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(DefaultsStore::standardLocation(),
              std::filesystem::path("/home/someone/.config/wisket/settings.json"));
}

} // namespace
} // namespace wisket
