#include "completion/completion_result.hpp"

namespace wisket {

std::string description(const CompletionFailure& failure) {
    struct Describe {
        std::string operator()(const CompletionError& e) const { return e.description(); }
        std::string operator()(const TransportError& e) const { return e.message; }
        std::string operator()(const JsonError& e) const { return e.message; }
        std::string operator()(const ModelError& e) const {
            return e.kind == ModelError::Kind::refusal ? "refusal" : e.message;
        }
    };
    return std::visit(Describe{}, failure);
}

} // namespace wisket
