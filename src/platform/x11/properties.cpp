#include "platform/x11/properties.hpp"

#include <algorithm>

namespace wisket::x11 {

std::optional<std::vector<unsigned char>> readProperty(Display* display, Window window, Atom property,
                                                       Atom type, int format, long maxItems,
                                                       unsigned long* items) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, property, 0, maxItems, False, type, &actualType,
                                          &actualFormat, &count, &remaining, &data);
    std::optional<std::vector<unsigned char>> result;
    if (status == Success && data != nullptr && actualType == type && actualFormat == format) {
        // Xlib hands 32-bit items as longs.
        const std::size_t itemSize = format == 32 ? sizeof(long) : static_cast<std::size_t>(format / 8);
        result.emplace(data, data + count * itemSize);
        if (items != nullptr) {
            *items = count;
        }
    }
    if (data != nullptr) {
        XFree(data);
    }
    return result;
}

std::optional<unsigned long> readCardinal(Display* display, Window window, Atom property, Atom type) {
    unsigned long count = 0;
    const auto bytes = readProperty(display, window, property, type, 32, 1, &count);
    if (!bytes || count < 1) {
        return std::nullopt;
    }
    long value = 0;
    std::copy_n(bytes->data(), sizeof value, reinterpret_cast<unsigned char*>(&value));
    return static_cast<unsigned long>(value);
}

std::vector<long> readCardinals(Display* display, Window window, Atom property, Atom type, long maxItems) {
    unsigned long count = 0;
    const auto bytes = readProperty(display, window, property, type, 32, maxItems, &count);
    std::vector<long> values(bytes ? count : 0);
    if (bytes) {
        std::copy_n(bytes->data(), count * sizeof(long), reinterpret_cast<unsigned char*>(values.data()));
    }
    return values;
}

std::optional<std::string> readUtf8(Display* display, Window window, Atom property, Atom type) {
    const auto bytes = readProperty(display, window, property, type, 8, 1024);
    if (!bytes || bytes->empty()) {
        return std::nullopt;
    }
    std::string text(bytes->begin(), bytes->end());
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    return text.empty() ? std::nullopt : std::optional<std::string>(std::move(text));
}

} // namespace wisket::x11
