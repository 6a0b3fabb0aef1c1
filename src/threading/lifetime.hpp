#pragma once

// "Drop the result if the receiver is gone": an owner keeps a Lifetime member and wraps the
// callbacks it hands out with guard(); once the owner (and so the Lifetime) is destroyed,
// the wrapped callbacks do nothing and return a default value.
//
// The check is not a lock: a guarded callback must run on the owner's thread (the main
// thread for every owner so far), so the owner cannot go away while it runs.

#include <memory>
#include <type_traits>
#include <utility>

namespace wisket {

class Lifetime {
public:
    Lifetime() = default;
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;

    // Call on the owner's thread; the wrapper may be moved to any thread and back.
    template <typename Fn> auto guard(Fn fn) const {
        return [alive = std::weak_ptr<const Token>(m_token), fn = std::move(fn)](auto&&... args) mutable {
            using Result = decltype(fn(std::forward<decltype(args)>(args)...));
            if (alive.expired()) {
                if constexpr (std::is_void_v<Result>) {
                    return;
                } else {
                    return Result{};
                }
            }
            return fn(std::forward<decltype(args)>(args)...);
        };
    }

private:
    struct Token {};
    std::shared_ptr<const Token> m_token = std::make_shared<const Token>();
};

} // namespace wisket
