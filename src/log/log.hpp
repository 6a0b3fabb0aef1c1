#pragma once

// Wisket's diagnostics: warnings always, debug lines when asked for (`wisket --verbose` or
// WISKET_DEBUG=1 in the environment). Each call writes one whole line, prefixed "wisket: ",
// to stderr; any thread may call.
//
// A line never carries a character that the user typed, read or was suggested, and the API
// is shaped so that this takes no care at the call site: a line is an event and key=value
// fields, and a value can only be a word fixed at build time, a number, an identifier a
// program chose (Id) or a program's own explanation of a failure (Reason). There is no way
// to pass a plain string, and field text must never be wrapped in Id or Reason.

#include <concepts>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

namespace wisket::log {

// A word written into the program: an event, a key, an outcome. Only a constant converts
// to it, so text read at run time cannot.
class Word {
public:
    consteval Word(const char* text)
        : m_text(text) {}
    std::string_view text() const { return m_text; }

private:
    std::string_view m_text;
};

// An identifier some program chose: an application id, an accessibility role, a key name.
// Written with every character outside letters, digits and ._-:/+@ replaced by '?', and cut
// to 80 characters.
struct Id {
    std::string_view value;
};

// A program's own explanation of a failure: a start-up step's reason, the model runtime's.
// Written in double quotes, on one line.
struct Reason {
    std::string_view value;
};

class Value {
public:
    consteval Value(const char* word)
        : m_kind(Kind::word)
        , m_text(word) {}
    Value(Word word)
        : m_kind(Kind::word)
        , m_text(word.text()) {}
    Value(Id id)
        : m_kind(Kind::id)
        , m_text(id.value) {}
    Value(Reason reason)
        : m_kind(Kind::reason)
        , m_text(reason.value) {}
    // Characters are integers too, and would spell out text one by one: not numbers here.
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char> && !std::same_as<T, signed char> &&
             !std::same_as<T, unsigned char> && !std::same_as<T, char8_t> && !std::same_as<T, char16_t> &&
             !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>) Value(T number)
        : m_kind(Kind::number)
        , m_number(static_cast<std::int64_t>(number)) {}

    void appendTo(std::string& line) const;

private:
    enum class Kind { word, id, reason, number };
    Kind m_kind;
    std::string_view m_text;
    std::int64_t m_number = 0;
};

struct Field {
    Word key;
    Value value;
};

// One line being put together: "<event> key=value key=value …".
class Line {
public:
    explicit Line(Word event, std::initializer_list<Field> fields = {});
    Line& add(Word key, Value value);
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
};

void warning(const Line& line);
void warning(Word event, std::initializer_list<Field> fields = {});
// Written only while debug lines are on.
void debug(const Line& line);
void debug(Word event, std::initializer_list<Field> fields = {});

// On when the environment has WISKET_DEBUG=1, until set otherwise.
bool debugEnabled();
void setDebugEnabled(bool enabled);

// Where lines go: each call gets one line with the prefix and without the newline. Calls
// are serialised. Returns the sink it replaces; an empty one restores stderr (tests).
using Sink = std::function<void(std::string_view line)>;
Sink setSink(Sink sink);

} // namespace wisket::log
