#include "text/spelling.hpp"

#include "text/unicode.hpp"

#include <cstdlib>
#include <enchant.h>
#include <mutex>
#include <vector>

namespace wisket {
namespace {

// The remembered answers: at most this many words of at most this many bytes. When full,
// the memory starts afresh; a typing session asks about few distinct words.
constexpr std::size_t recentWords = 1024;
constexpr std::size_t recentWordBytes = 48;

// Enchant dictionaries are not safe to use from two threads at once.
std::mutex& spellMutex() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

std::string spellingLanguage(std::string_view locale) {
    const std::size_t cut = locale.find_first_of(".@");
    std::string_view tag = locale.substr(0, cut);
    if (tag.empty() || tag == "C" || tag == "POSIX" || tag.starts_with("en")) {
        return "en";
    }
    return std::string(tag);
}

std::string userLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            return value;
        }
    }
    return {};
}

SpellChecker& SpellChecker::shared() {
    static SpellChecker checker(spellingLanguage(userLocale()));
    return checker;
}

SpellChecker::SpellChecker(std::string language)
    : m_language(std::move(language)) {
    m_broker = enchant_broker_init();
    if (!m_broker) {
        return;
    }
    enchant_broker_set_ordering(m_broker, "*", "hunspell,aspell,myspell");
    // "en" is the language asked for; dictionaries are named by region, so fall back to
    // the usual one and then to any of that language.
    std::vector<std::string> candidates{m_language};
    if (m_language.find('_') == std::string::npos) {
        candidates.push_back(m_language == "en" ? "en_US" : m_language + "_" + toUpper(m_language));
    } else {
        candidates.push_back(m_language.substr(0, m_language.find('_')));
    }
    for (const std::string& tag : candidates) {
        if (enchant_broker_dict_exists(m_broker, tag.c_str()) == 1) {
            m_dict = enchant_broker_request_dict(m_broker, tag.c_str());
            if (m_dict) {
                return;
            }
        }
    }
}

SpellChecker::~SpellChecker() {
    if (m_broker) {
        if (m_dict) {
            enchant_broker_free_dict(m_broker, m_dict);
        }
        enchant_broker_free(m_broker);
    }
}

bool SpellChecker::isCorrect(std::string_view word) {
    if (!m_dict || word.empty()) {
        return true;
    }
    const std::string valid = repairUtf8(word);
    const std::lock_guard lock(spellMutex());
    if (const auto known = m_recent.find(valid); known != m_recent.end()) {
        return known->second;
    }
    const bool correct = enchant_dict_check(m_dict, valid.data(), static_cast<ssize_t>(valid.size())) == 0;
    if (valid.size() <= recentWordBytes) {
        if (m_recent.size() >= recentWords) {
            m_recent.clear();
        }
        m_recent.emplace(valid, correct);
    }
    return correct;
}

} // namespace wisket
