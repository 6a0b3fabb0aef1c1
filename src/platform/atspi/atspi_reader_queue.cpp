#include "platform/atspi/atspi_reader_queue.hpp"

#include <atspi/atspi.h>
#include <deque>
#include <mutex>
#include <thread>

// libatspi's record of the loop that delivers its events (not in its public headers; weak,
// so that a libatspi without it only costs the cache).
extern "C" __attribute__((weak)) GMainLoop* atspi_main_loop;

namespace wisket {

struct AtspiReaderQueue::State {
    std::mutex mutex;
    std::deque<Task> tasks;
    bool drainScheduled = false;
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    GMainContext* neverRun = g_main_context_new(); // see adoptConnections
    std::uint64_t taskNumber = 0;                  // queue thread only
    std::thread thread;

    ~State() {
        g_main_loop_unref(loop);
        g_main_context_unref(context);
        g_main_context_unref(neverRun);
    }

    // libatspi opens a private connection to each application it calls and attaches it to
    // the process's default context, whatever context it was given; there the main thread's
    // loop would dispatch it (libatspi is not thread-safe), and the reply that lifts
    // libatspi's "appears to be hung" verdict on an application that once ran into its
    // time-out would never reach this thread, leaving that application mute for good.
    // Handing libatspi a context again moves every known application's connection to it
    // (about 16 microseconds with a few applications).
    void adoptConnections() {
        atspi_set_main_context(neverRun);
        atspi_set_main_context(context);
    }

    // One task per dispatch, so that events waiting in the context are delivered between
    // tasks; the source stays attached while tasks remain.
    static gboolean drain(gpointer data) {
        auto* state = static_cast<State*>(data);
        Task task;
        {
            const std::lock_guard lock(state->mutex);
            if (state->tasks.empty()) {
                state->drainScheduled = false;
                return G_SOURCE_REMOVE;
            }
            task = std::move(state->tasks.front());
            state->tasks.pop_front();
        }
        ++state->taskNumber;
        state->adoptConnections();
        task();
        const std::lock_guard lock(state->mutex);
        if (state->tasks.empty()) {
            state->drainScheduled = false;
            return G_SOURCE_REMOVE;
        }
        return G_SOURCE_CONTINUE;
    }

    void run() {
        g_main_context_push_thread_default(context);
        // atspi_init connects once per process; a later queue moves the connection's
        // dispatching to its own context.
        atspi_init();
        atspi_set_main_context(context);
        // libatspi trusts its cache of roles, states, names and children (kept fresh by the
        // applications' events, which this loop delivers) only while it knows a main loop
        // runs; atspi_event_main would say so but runs the default context.
        if (&atspi_main_loop) {
            atspi_main_loop = loop;
        }
        g_main_loop_run(loop);
        if (&atspi_main_loop) {
            atspi_main_loop = nullptr;
        }
        g_main_context_pop_thread_default(context);
    }
};

AtspiReaderQueue::AtspiReaderQueue()
    : m_state(std::make_shared<State>()) {
    m_state->thread = std::thread([state = m_state.get()] { state->run(); });
}

AtspiReaderQueue::~AtspiReaderQueue() {
    post([loop = m_state->loop] { g_main_loop_quit(loop); });
    m_state->thread.join();
}

void AtspiReaderQueue::post(Task task) {
    const std::lock_guard lock(m_state->mutex);
    m_state->tasks.push_back(std::move(task));
    if (!m_state->drainScheduled) {
        m_state->drainScheduled = true;
        GSource* source = g_idle_source_new();
        g_source_set_callback(source, &State::drain, m_state.get(), nullptr);
        g_source_attach(source, m_state->context);
        g_source_unref(source);
    }
}

bool AtspiReaderQueue::isCurrent() const {
    return std::this_thread::get_id() == m_state->thread.get_id();
}

std::uint64_t AtspiReaderQueue::taskNumber() const {
    return m_state->taskNumber;
}

} // namespace wisket
