#include "log/log.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace wisket::log {

namespace {

constexpr std::string_view prefix = "wisket: ";
constexpr std::size_t longestId = 80;

bool isIdCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("._-:/+@").find(c) != std::string_view::npos;
}

std::atomic<bool>& debugFlag() {
    static std::atomic<bool> flag = [] {
        const char* value = std::getenv("WISKET_DEBUG");
        return value != nullptr && std::string_view(value) == "1";
    }();
    return flag;
}

struct Output {
    std::mutex mutex;
    Sink sink; // empty: stderr
};

Output& output() {
    static Output instance;
    return instance;
}

void write(const Line& line) {
    std::string whole;
    whole.reserve(prefix.size() + line.text().size() + 1);
    whole.append(prefix).append(line.text());
    Output& out = output();
    const std::lock_guard lock(out.mutex);
    if (out.sink) {
        out.sink(whole);
        return;
    }
    // One write per line, so lines from several threads never interleave.
    whole += '\n';
    std::fwrite(whole.data(), 1, whole.size(), stderr);
}

} // namespace

void Value::appendTo(std::string& line) const {
    switch (m_kind) {
    case Kind::word:
        line.append(m_text);
        return;
    case Kind::id:
        for (const char c : m_text.substr(0, longestId)) {
            line += isIdCharacter(c) ? c : '?';
        }
        return;
    case Kind::reason:
        line += '"';
        for (const char c : m_text) {
            if (c == '"' || c == '\\') {
                line += '\\';
                line += c;
            } else {
                // A line break inside would start a line that looks like another entry.
                line += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
            }
        }
        line += '"';
        return;
    case Kind::number:
        line += std::to_string(m_number);
        return;
    }
}

Line::Line(Word event, std::initializer_list<Field> fields)
    : m_text(event.text()) {
    for (const Field& field : fields) {
        add(field.key, field.value);
    }
}

Line& Line::add(Word key, Value value) {
    m_text += ' ';
    m_text.append(key.text());
    m_text += '=';
    value.appendTo(m_text);
    return *this;
}

void warning(const Line& line) {
    write(line);
}

void warning(Word event, std::initializer_list<Field> fields) {
    write(Line(event, fields));
}

void debug(const Line& line) {
    if (debugEnabled()) {
        write(line);
    }
}

void debug(Word event, std::initializer_list<Field> fields) {
    if (debugEnabled()) {
        write(Line(event, fields));
    }
}

bool debugEnabled() {
    return debugFlag().load(std::memory_order_relaxed);
}

void setDebugEnabled(bool enabled) {
    debugFlag().store(enabled, std::memory_order_relaxed);
}

Sink setSink(Sink sink) {
    Output& out = output();
    const std::lock_guard lock(out.mutex);
    return std::exchange(out.sink, std::move(sink));
}

} // namespace wisket::log
