#pragma once

// One-word spell checks against the user's language (Enchant with the Hunspell
// dictionaries). Without a library or dictionary every word counts as correct, so a bare
// machine loses a refinement, not its suggestions. Thread-safe.

#include <string>
#include <string_view>
#include <unordered_map>

struct str_enchant_broker;
struct str_enchant_dict;

namespace wisket {

// The dictionary language for a locale name such as "en_GB.UTF-8": "en" for every
// English locale (and for an unset or "C"/"POSIX" locale), else the locale's language tag
// without encoding or modifier ("de_DE").
std::string spellingLanguage(std::string_view locale);

// The user's locale from LC_ALL, LC_MESSAGES or LANG, in that order.
std::string userLocale();

class SpellChecker {
public:
    // The checker for the user's language, opened on first use.
    static SpellChecker& shared();

    explicit SpellChecker(std::string language);
    ~SpellChecker();
    SpellChecker(const SpellChecker&) = delete;
    SpellChecker& operator=(const SpellChecker&) = delete;

    // True when no misspelling is found in `word` (empty words and missing dictionaries
    // included). Recent answers for short words are remembered (in memory only): cleaning
    // asks about the same few words several times per suggestion and again on the next
    // keystroke, and a dictionary look-up costs microseconds.
    bool isCorrect(std::string_view word);
    bool hasDictionary() const { return m_dict != nullptr; }
    const std::string& language() const { return m_language; }

private:
    std::string m_language;
    ::str_enchant_broker* m_broker = nullptr;
    ::str_enchant_dict* m_dict = nullptr;
    std::unordered_map<std::string, bool> m_recent; // bounded; guarded like the dictionary
};

} // namespace wisket
