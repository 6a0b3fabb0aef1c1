#pragma once

// What one completion gives back: the provider's raw answer, or a failure that keeps its
// identity, so that the Model tab can show "Failed: " + description() and the controller's
// debug line can name its kind.

#include "control/records.hpp"

#include <functional>
#include <string>
#include <variant>

namespace wisket {

// The HTTP exchange itself failed (refused, timed out, reset); the message and the code
// (a CURLcode) are libcurl's.
struct TransportError {
    std::string message;
    int code = 0;
    bool operator==(const TransportError&) const = default;
};

// The model server answered with a status other than 2xx. Only the number is kept: the
// body of such a reply is no answer, whatever it says, and may echo the typed text.
struct HttpStatusError {
    long status = 0;
    bool operator==(const HttpStatusError&) const = default;
};

// A JSON body could not be encoded or a reply could not be parsed; the message is the
// JSON library's.
struct JsonError {
    std::string message;
    bool operator==(const JsonError&) const = default;
};

// The on-device model ran but gave no usable answer.
struct ModelError {
    enum class Kind {
        refusal, // the answer began like a refusal
        failed,  // the runtime could not evaluate the prompt
    };
    Kind kind = Kind::failed;
    std::string message; // for failed only
    bool operator==(const ModelError&) const = default;
};

using CompletionFailure =
    std::variant<CompletionError, TransportError, HttpStatusError, JsonError, ModelError>;

inline std::string description(const CompletionFailure& failure) {
    struct Describe {
        std::string operator()(const CompletionError& e) const { return e.description(); }
        std::string operator()(const TransportError& e) const { return e.message; }
        std::string operator()(const HttpStatusError& e) const {
            return "HTTP status " + std::to_string(e.status);
        }
        std::string operator()(const JsonError& e) const { return e.message; }
        std::string operator()(const ModelError& e) const {
            return e.kind == ModelError::Kind::refusal ? "refusal" : e.message;
        }
    };
    return std::visit(Describe{}, failure);
}

class CompletionResult {
public:
    static CompletionResult answer(std::string text) { return CompletionResult(std::move(text)); }
    static CompletionResult failure(CompletionFailure why) { return CompletionResult(std::move(why)); }

    bool succeeded() const { return std::holds_alternative<std::string>(m_value); }
    // The raw answer (possibly empty); only when succeeded().
    const std::string& text() const { return std::get<std::string>(m_value); }
    // Only when !succeeded().
    const CompletionFailure& error() const { return std::get<CompletionFailure>(m_value); }

    bool operator==(const CompletionResult&) const = default;

private:
    explicit CompletionResult(std::variant<std::string, CompletionFailure> value)
        : m_value(std::move(value)) {}

    std::variant<std::string, CompletionFailure> m_value;
};

// Receives a result on the main thread.
using CompletionCallback = std::function<void(CompletionResult)>;

} // namespace wisket
