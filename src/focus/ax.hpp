#pragma once

// The accessibility operations the focus reader, the caret geometry and the screen walk
// use, in one vocabulary: attribute names as "AXRole", "AXValue", "AXSelectedTextRange"…
// and roles as "AXTextField", "AXSecureTextField"…. Every read is optional: an error, a
// missing attribute or a value of the wrong type is absent. Implemented over AT-SPI
// (ax_atspi) and by an in-memory tree in tests. Called on the reader thread only.

#include "control/records.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace wisket {

// An element of another application's accessibility tree; compare with Ax::equal.
class AxNode {
public:
    virtual ~AxNode() = default;
};
using AxElement = std::shared_ptr<AxNode>;

struct AxPoint {
    double x = 0;
    double y = 0;
    bool operator==(const AxPoint&) const = default;
};

struct AxSize {
    double width = 0;
    double height = 0;
    bool operator==(const AxSize&) const = default;
};

// A range of UTF-16 code units.
struct AxRange {
    std::int64_t location = 0;
    std::int64_t length = 0;
    bool operator==(const AxRange&) const = default;
};

using AxValue = std::variant<std::monostate, std::string, std::int64_t, bool, AxPoint, AxSize, Rect, AxRange,
                             AxElement, std::vector<AxElement>>;

template <typename T> std::optional<T> axAs(const AxValue& value) {
    if (const T* v = std::get_if<T>(&value)) {
        return *v;
    }
    return std::nullopt;
}

class Ax {
public:
    virtual ~Ax() = default;

    virtual AxElement systemWide() = 0;
    virtual AxElement application(std::int32_t pid) = 0;
    // Bounds every later call on `element` (seconds).
    virtual void setMessagingTimeout(const AxElement& element, double seconds) = 0;

    virtual AxValue attribute(const AxElement& element, std::string_view name) = 0;
    // One entry per name; on failure all are absent.
    virtual std::vector<AxValue> attributes(const AxElement& element,
                                            const std::vector<std::string_view>& names) = 0;
    // "AXStringForRange" (a string) or "AXBoundsForRange" (a Rect in screen coordinates).
    virtual AxValue parameterizedAttribute(const AxElement& element, std::string_view name,
                                           AxRange range) = 0;
    // None when the query itself fails.
    virtual std::optional<bool> isAttributeSettable(const AxElement& element, std::string_view name) = 0;
    // Best effort; the result is not reported.
    virtual void setAttribute(const AxElement& element, std::string_view name, bool value) = 0;

    virtual bool equal(const AxElement& a, const AxElement& b) = 0;
    // Whether the accessibility service can be used at all.
    virtual bool isProcessTrusted() = 0;
};

} // namespace wisket
