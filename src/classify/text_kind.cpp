#include "classify/text_kind.hpp"

#include "text/regex.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace wisket {
namespace {

using namespace std::string_view_literals;

// --- Application ids ----------------------------------------------------------------------
// Each set holds the macOS application ids first, then the Linux ids (GTK application id
// or WM_CLASS class) of the same kind of application. Comparison is exact.

using AppSet = std::unordered_set<std::string_view>;

const AppSet& chatApps() {
    static const AppSet apps{
        "com.tinyspeck.slackmacgap", "com.apple.MobileSMS", "net.whatsapp.WhatsApp", "desktop.WhatsApp",
        "com.hnc.Discord", "ru.keepcoder.Telegram", "org.telegram.desktop", "com.microsoft.teams2",
        "com.facebook.archon", "jp.naver.line.mac", "org.whispersystems.signal-desktop",
        // Linux
        "Slack", "com.slack.Slack", "discord", "com.discordapp.Discord", "TelegramDesktop", "Signal",
        "org.signal.Signal", "Element", "im.riot.Riot", "teams-for-linux", "org.gnome.Fractal"};
    return apps;
}

const AppSet& emailApps() {
    static const AppSet apps{
        "com.apple.mail", "com.microsoft.Outlook", "com.readdle.smartemail-Mac", "com.superhuman.electron",
        "com.mimestream.Mimestream", "com.airmailapp.airmail2",
        // Linux; Thunderbird's windows carry the class its launcher names, "thunderbird-default".
        "thunderbird", "Thunderbird", "thunderbird-default", "org.mozilla.Thunderbird", "org.gnome.Evolution",
        "evolution", "org.gnome.Geary", "geary", "org.kde.kmail2", "Mailspring", "eu.betterbird.Betterbird",
        "Claws-mail"};
    return apps;
}

const AppSet& aiPromptApps() {
    static const AppSet apps{"com.anthropic.claudefordesktop", "com.openai.chat", "ai.perplexity.mac",
                             "com.google.GeminiMacOS"};
    return apps;
}

const AppSet& codeApps() {
    static const AppSet apps{
        "com.apple.dt.Xcode", "com.microsoft.VSCode", "com.todesktop.230313mzl4w4u92", "dev.zed.Zed",
        "com.sublimetext.4", "com.jetbrains.intellij", "com.jetbrains.pycharm", "com.jetbrains.WebStorm",
        "com.panic.Nova", "com.exafunction.windsurf",
        // Linux
        "code", "Code", "com.visualstudio.code", "code-oss", "VSCodium", "codium", "sublime_text",
        "jetbrains-idea", "jetbrains-idea-ce", "jetbrains-pycharm", "jetbrains-pycharm-ce",
        "jetbrains-webstorm", "jetbrains-clion", "jetbrains-goland", "org.gnome.Builder", "org.kde.kate",
        "kate", "Emacs", "Gvim", "neovide"};
    return apps;
}

const AppSet& documentApps() {
    static const AppSet apps{"com.apple.Notes", "com.apple.iWork.Pages", "com.microsoft.Word", "notion.id",
                             "md.obsidian", "net.shinyfrog.bear", "com.apple.TextEdit", "com.ulyssesapp.mac",
                             "com.literatureandlatte.scrivener3", "com.craft.craft",
                             // Linux
                             "org.gnome.TextEditor", "org.gnome.gedit", "gedit", "libreoffice-writer",
                             "obsidian", "Joplin", "Logseq", "org.kde.ghostwriter", "abiword", "Typora",
                             "org.xfce.mousepad", "org.kde.kwrite"};
    return apps;
}

bool contains(const AppSet& apps, const std::optional<std::string>& appID) {
    return appID && apps.contains(*appID);
}

// --- Word lists ---------------------------------------------------------------------------

constexpr std::array searchWords{"search"sv, "find"sv,  "filter"sv,  "address and search"sv,
                                 "url"sv,    "go to"sv, "look up"sv, "query"sv};
constexpr std::array subjectWords{"subject"sv, "title"sv,     "headline"sv,      "heading"sv,
                                  "summary"sv, "name this"sv, "commit message"sv};
constexpr std::array emailWords{"message body"sv, "email body"sv, "compose"sv};
constexpr std::array aiPromptWords{
    "ask"sv,     "how can i help"sv, "prompt"sv, "reply to claude"sv, "message claude"sv,
    "chatgpt"sv, "anything"sv};
constexpr std::array chatWords{"message"sv,        "reply"sv,          "write a message"sv,
                               "send a message"sv, "type a message"sv, "comment"sv};
constexpr std::array sensitiveWords{
    "password"sv,      "passcode"sv,      "one-time"sv,      "otp"sv,           "verification code"sv,
    "card number"sv,   "cvv"sv,           "cvc"sv,           "iban"sv,          "e-mail address"sv,
    "email address"sv, "phone"sv,         "mobile number"sv, "username"sv,      "user name"sv,
    "first name"sv,    "last name"sv,     "full name"sv,     "your name"sv,     "address line"sv,
    "postcode"sv,      "zip"sv,           "recipient"sv,     "to recipients"sv, "cc recipients"sv,
    "bcc"sv,           "date of birth"sv, "ssn"sv,           "pan number"sv,    "aadhaar"sv,
    "name on card"sv,  "cardholder"sv,    "security code"sv, "expiry"sv,        "expiration date"sv,
    "street"sv,        "city"sv};

constexpr std::array singleLineRoles{"AXTextField"sv, "AXSearchField"sv, "AXComboBox"sv};

bool isSingleLine(const FieldInfo& field) {
    return std::ranges::find(singleLineRoles, field.role) != singleLineRoles.end();
}

// --- Window titles ------------------------------------------------------------------------

constexpr std::array titleSeparators{" - "sv, " | "sv, " \u2013 "sv, " \u2014 "sv, " \u00b7 "sv};

struct WebApp {
    std::string_view name;
    TextKind kind;
};

constexpr std::array<WebApp, 20> webAppNames{{
    {"gmail", TextKind::email},      {"outlook", TextKind::email},       {"proton mail", TextKind::email},
    {"yahoo mail", TextKind::email}, {"fastmail", TextKind::email},      {"claude", TextKind::aiPrompt},
    {"chatgpt", TextKind::aiPrompt}, {"gemini", TextKind::aiPrompt},     {"perplexity", TextKind::aiPrompt},
    {"slack", TextKind::chat},       {"whatsapp", TextKind::chat},       {"discord", TextKind::chat},
    {"messenger", TextKind::chat},   {"telegram", TextKind::chat},       {"google docs", TextKind::document},
    {"notion", TextKind::document},  {"confluence", TextKind::document}, {"github", TextKind::code},
    {"codepen", TextKind::code},     {"leetcode", TextKind::code},
}};

constexpr std::array titleEmailWords{"inbox"sv, "compose"sv, "new message"sv};

// Splits every piece on `separator`, keeping empty pieces, in order.
std::vector<std::string_view> splitPieces(const std::vector<std::string_view>& pieces,
                                          std::string_view separator) {
    std::vector<std::string_view> out;
    for (std::string_view piece : pieces) {
        for (std::size_t at = piece.find(separator); at != std::string_view::npos;
             at = piece.find(separator)) {
            out.push_back(piece.substr(0, at));
            piece.remove_prefix(at + separator.size());
        }
        out.push_back(piece);
    }
    return out;
}

// --- Code lines ---------------------------------------------------------------------------

const std::array<Regex, 7>& codePatterns() {
    static const std::array<Regex, 7> patterns{
        Regex(R"(^(let|var|const)\s+[A-Za-z_]\w*\s*[:=])"),
        Regex(R"(^(func|def|class|struct|enum|fn)\s+\w+.*[({:<])"),
        Regex(R"(^import\s+[\w.]+;?$)"),
        Regex(R"(^return\b.*[;(){}\]])"),
        Regex(R"(^(public|private|protected)\s+(static\s+)?\w+)"),
        Regex(R"(^#include\s*[<"])"),
        Regex(R"(^(if|for|while|switch)\s*\()"),
    };
    return patterns;
}

constexpr std::string_view codeSymbols = "{}();=<>[]";

// --- Word match ---------------------------------------------------------------------------

// The compiled "\b<word>\b" patterns, kept for the life of the process. The classifier's
// lists are constant, so the cache stays small; other words beyond the bound are compiled
// per call and not kept.
class WordPatterns {
public:
    bool search(std::string_view haystack, std::string_view word) {
        if (const Regex* pattern = cached(word)) {
            return pattern->matches(haystack);
        }
        return compile(word).matches(haystack);
    }

private:
    static constexpr std::size_t maxEntries = 256;

    static Regex compile(std::string_view word) { return Regex("\\b" + Regex::escape(word) + "\\b"); }

    // The entry for `word`, added when there is room; entries are never removed, so the
    // pointer stays valid without the lock.
    const Regex* cached(std::string_view word) {
        std::lock_guard lock(m_mutex);
        if (auto it = m_patterns.find(word); it != m_patterns.end()) {
            return &it->second;
        }
        if (m_patterns.size() >= maxEntries) {
            return nullptr;
        }
        return &m_patterns.emplace(std::string(word), compile(word)).first->second;
    }

    std::mutex m_mutex;
    std::map<std::string, Regex, std::less<>> m_patterns;
};

bool isAscii(std::string_view s) {
    return std::ranges::all_of(s, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool matchesWord(std::string_view haystack, std::string_view word) {
    static WordPatterns patterns;
    // An ASCII word can only match where its bytes occur (ASCII bytes are never part of an
    // ill-formed sequence), so most words are decided without running a pattern.
    if (isAscii(word) && haystack.find(word) == std::string_view::npos) {
        return false;
    }
    return patterns.search(haystack, word);
}

// Number of pieces of `s` between runs of white space.
std::size_t wordCount(std::string_view s) {
    std::size_t count = 0;
    bool inWord = false;
    std::size_t i = 0;
    while (i < s.size()) {
        const bool white = isWhitespace(decodeNext(s, i));
        if (!white && !inWord) {
            ++count;
        }
        inWord = !white;
    }
    return count;
}

} // namespace

std::string fieldHint(const FieldInfo& field) {
    return toLower(field.placeholder + " " + field.label);
}

bool matchesAnyWord(std::string_view haystack, std::span<const std::string_view> words) {
    if (trimSpacesAndTabs(haystack).empty()) {
        return false;
    }
    return std::ranges::any_of(words, [&](std::string_view word) { return matchesWord(haystack, word); });
}

TextKind classify(const FieldInfo& field, std::string_view hint, const std::optional<std::string>& appID,
                  std::string_view windowTitle, std::string_view text) {
    const bool singleLine = isSingleLine(field);
    if (field.subrole == "AXSearchField" || field.role == "AXSearchField" || field.role == "AXComboBox") {
        return TextKind::search;
    }
    // Before the application sets: a search box or subject line inside a chat,
    // mail or editor application is still what it is.
    if (singleLine && matchesAnyWord(hint, searchWords)) {
        return TextKind::search;
    }
    if (singleLine && matchesAnyWord(hint, subjectWords)) {
        return TextKind::subject;
    }
    if (contains(codeApps(), appID)) {
        return TextKind::code;
    }
    // Before the AI and chat rules, so "message body" wins over "message".
    if (contains(emailApps(), appID) || matchesAnyWord(hint, emailWords)) {
        return TextKind::email;
    }
    // A prompt box is recognised before chats: assistants look like chat applications.
    if (contains(aiPromptApps(), appID) || matchesAnyWord(hint, aiPromptWords)) {
        return TextKind::aiPrompt;
    }
    if (contains(chatApps(), appID)) {
        return TextKind::chat;
    }
    if (contains(documentApps(), appID)) {
        return TextKind::document;
    }
    // A one-line field in a web mail is its subject line.
    if (const std::optional<TextKind> titled = kindFromTitle(windowTitle)) {
        return singleLine && *titled == TextKind::email ? TextKind::subject : *titled;
    }
    if (matchesAnyWord(hint, chatWords)) {
        return TextKind::chat;
    }
    if (looksLikeCode(currentLine(text))) {
        return TextKind::code;
    }
    return singleLine ? TextKind::search : TextKind::general;
}

std::optional<TextKind> kindFromTitle(std::string_view windowTitle) {
    if (windowTitle.empty()) {
        return std::nullopt;
    }
    std::vector<std::string_view> pieces{windowTitle};
    for (std::string_view separator : titleSeparators) {
        pieces = splitPieces(pieces, separator);
    }
    // The site name usually comes last.
    for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece) {
        if (trimSpacesAndTabs(*piece).empty()) {
            continue;
        }
        for (const WebApp& app : webAppNames) {
            if (matchesAnyWord(*piece, std::span(&app.name, 1))) {
                return app.kind;
            }
        }
    }
    // Without a known site, a mail word anywhere in the title still tells.
    if (matchesAnyWord(windowTitle, titleEmailWords)) {
        return TextKind::email;
    }
    return std::nullopt;
}

bool looksLikeCode(std::string_view line) {
    const std::string_view trimmed = trimSpacesAndTabs(line);
    if (trimmed.empty()) {
        return false;
    }
    if (std::ranges::any_of(codePatterns(), [&](const Regex& pattern) { return pattern.matches(trimmed); })) {
        return true;
    }
    // Characters are graphemes: "=" with a combining mark is not the symbol "=".
    const std::vector<std::string_view> characters = graphemes(trimmed);
    std::size_t count = 0;
    std::string distinctSymbols;
    for (std::string_view character : characters) {
        if (character.size() == 1 && codeSymbols.find(character.front()) != std::string_view::npos) {
            ++count;
            if (distinctSymbols.find(character.front()) == std::string::npos) {
                distinctSymbols.push_back(character.front());
            }
        }
    }
    const std::size_t distinct = distinctSymbols.size();
    if (trimmed.find("=>") != std::string_view::npos) {
        return true;
    }
    // At least one character in five is a symbol.
    if (count >= 4 && count * 5 >= characters.size() && distinct >= 3) {
        return true;
    }
    const std::string_view last = characters.back();
    if (last == "{" || last == ";") {
        return distinct >= 2;
    }
    return false;
}

std::string_view currentLine(std::string_view text) {
    const std::size_t newline = text.rfind('\n');
    return newline == std::string_view::npos ? text : text.substr(newline + 1);
}

bool isSensitive(const FieldInfo& field, const std::optional<std::string>& appID) {
    // In a chat, "phone" or "city" is conversation, not a form field.
    if (contains(chatApps(), appID)) {
        return false;
    }
    // A long label is a description, not the name of a form field.
    const std::string_view label = wordCount(field.label) <= 4 ? std::string_view(field.label) : "";
    const std::string haystack = toLower(field.placeholder + " " + std::string(label));
    return matchesAnyWord(haystack, sensitiveWords);
}

} // namespace wisket
