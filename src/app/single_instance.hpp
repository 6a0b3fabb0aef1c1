#pragma once

// One Wisket per session: the first instance owns a name on the session bus; a later one
// asks it to show its settings window and ends, so two never watch keys at once. Main
// thread only, after the application object exists.

#include <functional>
#include <memory>

namespace wisket {

class SingleInstance {
public:
    enum class Claim {
        owned,    // this is the only instance
        taken,    // another instance owns the name
        noBus,    // no session bus: nothing can tell instances apart
        released, // owned until release()
    };

    // Takes the name; while this object lives, calls from later instances run `showSettings`.
    explicit SingleInstance(std::function<void()> showSettings);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    Claim claim() const { return m_claim; }
    // Gives the name up before this process ends, so that the instance it starts anew can
    // take it.
    void release();

    // Asks the instance that owns the name to show its settings window; true when it did.
    static bool showRunningSettings();

private:
    class Service;
    std::unique_ptr<Service> m_service;
    Claim m_claim = Claim::noBus;
};

} // namespace wisket
