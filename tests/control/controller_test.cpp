#include "control/controller.hpp"
#include "desk.hpp"

#include <algorithm>
#include <cmath>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>

namespace wisket {
namespace {

using namespace std::chrono_literals;
using testing::FakeFieldReader;
using testing::FakeKeyTap;
using testing::FakeWorkspace;
using testing::mouseDown;
using testing::ScriptedRuntime;
using testing::specialKey;
using testing::typedKey;

const RunningApplication editor{.pid = 4242, .appID = "org.gnome.TextEditor", .displayName = "Text Editor"};
const RunningApplication mail{.pid = 5151, .appID = "org.gnome.Evolution", .displayName = "Evolution"};
const RunningApplication keePass{.pid = 9, .appID = "org.keepassxc.KeePassXC", .displayName = "KeePassXC"};
const RunningApplication ownApp{.pid = 10, .appID = "wisket", .displayName = "Wisket"};
constexpr Rect caretRect{300, 120, 1, 18};
constexpr Rect fieldRect{100, 100, 600, 300};
// Long enough, not a greeting, and ends inside a word: answers that begin with a space
// pass the cleaning unchanged.
const std::string typedSoFar = "Say hello to the whole";

FocusContext contextOf(std::string text) {
    FocusContext context;
    context.textBeforeCaret = std::move(text);
    context.caretRect = caretRect;
    context.fieldRect = fieldRect;
    context.windowTitle = "Notes";
    context.field.role = "AXTextArea";
    return context;
}

FocusRead textRead(std::string text = typedSoFar) {
    return FocusRead::text(contextOf(std::move(text)));
}

// What the reader answers for a field whose text it cannot read.
FocusRead opaqueRead() {
    FocusContext context = contextOf("");
    context.caretRect.reset();
    return FocusRead::opaque(context);
}

class ControllerTest : public ::testing::Test, protected testing::Desk {
protected:
    ControllerTest() {
        workspace.front = editor;
        reader.nextRead = textRead();
        controller = makeController();
    }

    std::unique_ptr<Controller> makeController() {
        auto made = std::make_unique<Controller>(collaborators());
        EXPECT_EQ(made->start(), std::nullopt);
        return made;
    }

    bool press(const InputEvent& event) { return tap.deliver(event); }
    bool press(Key key, Modifiers modifiers = {}) { return tap.deliver(specialKey(key, modifiers)); }
    void typeKeys(std::string_view text) {
        for (const char c : text) {
            press(typedKey(std::string(1, c)));
        }
    }
    // Keys and the default pause after them.
    void pause(std::string_view keys) {
        typeKeys(keys);
        loop.advance(180ms);
    }
    // A key, the debounce pause, the read and the model, which answers `raw`.
    void typeAndPause(const std::string& raw) {
        models.server.answer = raw;
        typeKeys("e");
        loop.advance(std::chrono::milliseconds(static_cast<int>(settings.debounceMs())));
        loop.advance(models.server.delay);
    }
    // The same, and `raw` is offered.
    void offer(const std::string& raw) {
        typeAndPause(raw);
        ASSERT_TRUE(overlay.visible) << raw;
        ASSERT_EQ(controller->suggestion(), raw);
    }
    std::size_t asked() const { return models.server.requests.size(); }
    // The reads made by the time any pause or move since has long passed.
    std::size_t readsAfterAWhile() {
        loop.advance(1000ms);
        return reader.reads.size();
    }
    std::unique_ptr<Controller> controller;
};

// --- Debounce and staleness --------------------------------------------------------------

TEST_F(ControllerTest, AnswersOvertakenByAnotherKeyAreNeverShown) {
    // A read that returns after the next key.
    reader.holdReads = true;
    pause("a");
    typeKeys("b");
    reader.release();
    loop.runPosted();
    EXPECT_EQ(asked(), 0u);

    // A model answer that returns after the next key.
    reader.holdReads = false;
    models.server.hold = true;
    models.server.answer = " world";
    loop.advance(180ms);
    ASSERT_EQ(asked(), 1u);
    typeKeys("c");
    models.server.release();
    loop.runPosted();
    EXPECT_EQ(overlay.shows, 0);
    EXPECT_FALSE(controller->lastLatencyMs());

    // The newest key's own answer is shown.
    loop.advance(180ms);
    models.server.release();
    loop.runPosted();
    EXPECT_TRUE(overlay.visible);
    EXPECT_EQ(overlay.text, " world");
}

// Each key starts the pause again.
TEST_F(ControllerTest, ThePauseRunsFromTheLastKeyAndStoredPausesOutsideTheRangeAreClamped) {
    using Case = std::pair<double, std::chrono::milliseconds>; // stored pause, when the read comes
    for (const auto& [debounceMs, readAt] :
         {Case{std::nan(""), 180ms}, Case{-50, 0ms}, Case{0.9, 0ms}, Case{250.7, 250ms},
          Case{std::numeric_limits<double>::infinity(), 10'000ms}, Case{1e300, 10'000ms}}) {
        SCOPED_TRACE(debounceMs);
        reader.reads.clear();
        settings.setDebounceMs(debounceMs);
        typeKeys("a");
        if (readAt > 0ms) {
            loop.advance(readAt / 2);
            typeKeys("b");
            loop.advance(readAt - 1ms);
            EXPECT_TRUE(reader.reads.empty());
        }
        loop.advance(1ms);
        EXPECT_EQ(reader.reads.size(), 1u);
    }
}

// --- Every way the task ends early shows nothing ------------------------------------------

// Each leaves one debug line that says why, and nothing of the text.
TEST_F(ControllerTest, EachEarlyEndOfTheTaskShowsNothing) {
    FocusContext nowhere = contextOf(typedSoFar);
    nowhere.caretRect = nowhere.fieldRect = std::nullopt;
    FocusContext password = contextOf(typedSoFar);
    password.field.subrole = "AXSecureTextField";

    struct Case {
        const char* outcome;
        FocusRead read = textRead();
        std::string answer = " world";
        bool secureInput = false;
        bool fallback = true;
        bool failing = false;
        bool asks = false;
    };
    const Case cases[] = {
        {.outcome = "secureInput", .secureInput = true},
        {.outcome = "skipRead", .read = FocusRead::skip()},
        {.outcome = "opaqueWithoutFallback", .read = opaqueRead(), .fallback = false},
        {.outcome = "tooLittleText", .read = textRead("\n Hi  ")},
        {.outcome = "lineStart", .read = textRead(typedSoFar + "\n")},
        {.outcome = "noAnchor", .read = FocusRead::text(nowhere)},
        {.outcome = "noPlan", .read = FocusRead::text(password)},
        {.outcome = "failed", .failing = true, .asks = true},
        {.outcome = "cleanedAway", .answer = "I'm sorry, I can't help", .asks = true},
        {.outcome = "cleanedAway", .answer = "   ", .asks = true},
    };
    std::vector<std::string> lines;
    const log::Sink stderrSink = log::setSink([&](std::string_view line) { lines.emplace_back(line); });
    log::setDebugEnabled(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outcome + (" " + c.answer));
        press(mouseDown()); // empties the engine's cache
        reader.reads.clear();
        models.server.requests.clear();
        reader.nextRead = c.read;
        models.server.answer = c.answer;
        models.server.failing = c.failing;
        workspace.secureInput = c.secureInput;
        settings.setKeystrokeFallback(c.fallback);
        lines.clear();
        pause("abc");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_THAT(lines[0], ::testing::StartsWith(std::string("wisket: pause outcome=") + c.outcome + " "));
        EXPECT_THAT(lines[0], ::testing::Not(::testing::HasSubstr("hello")));
        EXPECT_EQ(reader.reads.size(), c.secureInput ? 0u : 1u);
        EXPECT_EQ(asked(), c.asks ? 1u : 0u);
        EXPECT_EQ(overlay.shows, 0);
        EXPECT_FALSE(controller->lastPlan());
        EXPECT_FALSE(controller->lastLatencyMs());
    }
    log::setDebugEnabled(false);
    log::setSink(stderrSink);

    reader.nextRead = textRead("Hi!");
    offer(" Sam"); // barely long enough
}

TEST_F(ControllerTest, AFieldBehindTheKeysIsReadAgainAFewTimesThenTakenAsItIs) {
    typeKeys("to the whole");
    reader.nextRead = textRead("Say hello to the who");
    loop.advance(180ms);
    EXPECT_EQ(asked(), 0u) << "a read two keys short is no request yet";
    reader.nextRead = textRead();
    loop.advance(Controller::lagRereadInterval);
    ASSERT_EQ(asked(), 1u);
    EXPECT_EQ(models.server.requests[0].text, typedSoFar);

    // One that never catches up costs a bounded wait.
    reader.nextRead = textRead(typedSoFar + " d");
    typeKeys(" day");
    loop.advance(180ms + Controller::lagRereadInterval * Controller::maxLagRereads);
    EXPECT_EQ(reader.reads.size(), 3u + Controller::maxLagRereads);
    EXPECT_EQ(asked(), 2u);
}

TEST_F(ControllerTest, OpaqueFieldsAreContinuedFromTheKeysTypedAndShownBelowTheField) {
    reader.nextRead = opaqueRead();
    typeKeys("See yo");
    press(Key::backspace);
    typeKeys("o");
    offer(" soon");
    EXPECT_EQ(models.server.requests.back().text, "See yoe");
    EXPECT_EQ(overlay.anchor, Anchor::below(fieldRect));
}

// --- The request and the figures ---------------------------------------------------------

TEST_F(ControllerTest, RequestsCarryTheAppTheTextCutAndTheContextExceptForSearches) {
    FocusContext chat = contextOf(std::string(1300, 'x') + " and then we");
    chat.surrounding = "Anna: are you coming tonight?";
    chat.afterCaret = "see you";
    reader.nextRead = FocusRead::text(chat);
    typeAndPause(" will go");
    ASSERT_EQ(asked(), 1u);
    EXPECT_EQ(reader.reads[0], (FakeFieldReader::Call{editor.pid, editor.appID, 1200, true}));
    const CompletionRequest& request = models.server.requests[0];
    EXPECT_EQ(request.text, std::string(1188, 'x') + " and then we");
    EXPECT_EQ(request.appName, "Text Editor");
    EXPECT_EQ(request.context, chat.surrounding);
    EXPECT_EQ(request.after, "see you");
    EXPECT_EQ(controller->lastContextChars(), 29 + 7);

    FocusContext search = chat;
    search.field.role = "AXSearchField";
    search.textBeforeCaret = "weather for tomor";
    reader.nextRead = FocusRead::text(search);
    settings.setUseScreenContext(false);
    typeAndPause("row");
    ASSERT_EQ(asked(), 2u);
    EXPECT_FALSE(reader.reads[1].withContext);
    EXPECT_EQ(models.server.requests[1].plan.kind, TextKind::search);
    EXPECT_EQ(controller->lastContextChars(), 0);

    // Without a display name the id stands in, without an id any app.
    for (const auto& [app, name] :
         {std::pair{RunningApplication{7, "org.example.Pad", std::nullopt}, "org.example.Pad"},
          std::pair{RunningApplication{8, std::nullopt, std::nullopt}, "an app"}}) {
        workspace.activate(app);
        pause("e");
        EXPECT_EQ(models.server.requests.back().appName, name);
        EXPECT_EQ(reader.reads.back().pid, app.pid);
    }
}

TEST_F(ControllerTest, ShownSuggestionsRecordTheirFiguresAndStyle) {
    models.server.delay = 37ms;
    offer(" world");
    EXPECT_EQ(controller->lastLatencyMs(), 37);
    EXPECT_EQ(controller->lastPlan(), models.server.requests.back().plan);
    EXPECT_EQ(overlay.anchor, Anchor::caret(caretRect));

    settings.setShowKeyHint(false);
    settings.setGhostOpacity(0.5);
    offer(" world");
    EXPECT_EQ(controller->lastLatencyMs(), 0) << "an answer from the cache";
    EXPECT_EQ(overlay.hint, std::nullopt);
    EXPECT_DOUBLE_EQ(overlay.opacity, 0.5);

    settings.setShowKeyHint(true);
    for (const auto& [key, hint] : {std::pair{AcceptKey::rightArrow, "→"}, {AcceptKey::both, "tab"}}) {
        settings.setAcceptKey(key);
        offer(" world");
        EXPECT_EQ(overlay.hint, hint);
    }
}

// --- Accept keys and Escape --------------------------------------------------------------

TEST_F(ControllerTest, OnlyTheChosenAcceptKeyWithoutModifiersTypesTheSuggestionAsShown) {
    using Case = std::tuple<AcceptKey, Key, Modifiers, bool>; // the setting, the key pressed, accepted
    settings.setOptionAcceptsWord(false); // Alt with the accept key is then a key like any other
    for (const auto& [setting, key, modifiers, accepts] :
         {Case{AcceptKey::tab, Key::tab, {}, true}, Case{AcceptKey::tab, Key::rightArrow, {}, false},
          Case{AcceptKey::rightArrow, Key::tab, {}, false},
          Case{AcceptKey::rightArrow, Key::rightArrow, {}, true}, Case{AcceptKey::both, Key::tab, {}, true},
          Case{AcceptKey::both, Key::rightArrow, {}, true},
          Case{AcceptKey::tab, Key::tab, Modifier::shift, false},
          Case{AcceptKey::tab, Key::tab, Modifier::control, false},
          Case{AcceptKey::both, Key::rightArrow, Modifier::super, false},
          Case{AcceptKey::tab, Key::tab, Modifier::alt, false}}) {
        SCOPED_TRACE(std::string(rawValue(setting)) + " " + std::to_string(static_cast<int>(key)));
        settings.setAcceptKey(setting);
        tap.typed.clear();
        offer(" world");
        EXPECT_EQ(press(key, modifiers), accepts);
        EXPECT_EQ(tap.typed, accepts ? std::vector<std::string>{" world"} : std::vector<std::string>{});
        EXPECT_FALSE(overlay.visible);
    }

    // A hostile answer is shown and typed as the same gated text.
    reader.nextRead = textRead(typedSoFar + " wide"); // not an answer from the cache
    typeAndPause(" world\x1b[31m \u202Eis\t\x07round");
    EXPECT_EQ(overlay.text, " world is round");
    EXPECT_TRUE(press(Key::tab));
    EXPECT_EQ(tap.typed.back(), overlay.text);
    EXPECT_THAT(controller->buffer().text(), ::testing::EndsWith(overlay.text)) << "it joins the keys typed";
}

TEST_F(ControllerTest, TheTapLearnsWhichKeysAreConsumableAndEscapeIsOnlyWhileOffered) {
    const KeyCombination escapeAny{Key::escape, {}, true};

    offer(" world and more");
    ASSERT_EQ(tap.consumableReports.size(), 1u);
    EXPECT_EQ(tap.consumableKeys(),
              (std::vector<KeyCombination>{{Key::tab}, {Key::tab, Modifier::alt}, escapeAny}));
    typeKeys(" w");
    EXPECT_EQ(tap.consumableReports.size(), 1u) << "typing through changes nothing";

    settings.setAcceptKey(AcceptKey::both);
    settings.setOptionAcceptsWord(false);
    typeKeys("o");
    ASSERT_EQ(tap.consumableReports.size(), 2u);
    EXPECT_EQ(tap.consumableKeys(), (std::vector<KeyCombination>{{Key::tab}, {Key::rightArrow}, escapeAny}));

    EXPECT_TRUE(press(Key::escape, Modifier::shift));
    ASSERT_EQ(tap.consumableReports.size(), 3u);
    EXPECT_TRUE(tap.consumableKeys().empty());
    EXPECT_EQ(readsAfterAWhile(), 1u) << "Escape schedules nothing";
    EXPECT_EQ(controller->buffer().text(), "e wo") << "nor does it move the caret";
    EXPECT_FALSE(press(Key::escape)) << "nothing offered: Escape is the application's";
    EXPECT_EQ(controller->buffer().text(), "");
}

TEST_F(ControllerTest, ALostTapHidesTheSuggestionAndIsTriedAgainUntilItWorks) {
    offer(" world");
    tap.startSucceeds = false;
    tap.lose();
    tap.lose(); // a second report starts no second round of tries
    EXPECT_TRUE(tap.consumableKeys().empty());
    loop.advance(Controller::reenableInterval * 2);
    EXPECT_EQ(tap.reenables, 2);

    tap.startSucceeds = true;
    loop.advance(Controller::reenableInterval);
    EXPECT_TRUE(tap.isEnabled());
    loop.advance(Controller::reenableInterval * 3);
    EXPECT_EQ(tap.reenables, 3);
}

// --- Typing through a suggestion ---------------------------------------------------------

TEST_F(ControllerTest, TypingWhatIsOfferedShortensItAndFollowsTheCaretUntilItIsUsedUp) {
    reader.caretRect = Rect{310, 120, 1, 18};
    offer(" there friend");
    typeKeys(" t");
    EXPECT_EQ(overlay.text, "here friend");
    loop.advance(24ms);
    EXPECT_TRUE(reader.caretCalls.empty()) << "the first key's move was replaced by the second's";
    loop.advance(1ms);
    ASSERT_EQ(reader.caretCalls.size(), 1u);
    EXPECT_EQ(reader.caretCalls[0], (FakeFieldReader::Call{editor.pid, editor.appID}));
    EXPECT_EQ(overlay.moves, (std::vector<Rect>{Rect{310, 120, 1, 18}}));
    EXPECT_EQ(readsAfterAWhile(), 1u) << "typing through asks for nothing new";

    // The last offered characters end it, and ask for nothing.
    typeKeys("here frien");
    EXPECT_TRUE(overlay.visible);
    typeKeys("d");
    EXPECT_FALSE(overlay.visible);
    EXPECT_EQ(controller->suggestion(), "");
    EXPECT_EQ(readsAfterAWhile(), 1u);

    // A letter without the accent offered is another letter: the pause starts again.
    reader.nextRead = textRead(typedSoFar + " wide"); // not an answer from the cache
    offer(" cafe\xCC\x81 noir");                      // e and a combining acute accent
    typeKeys(" caf");
    EXPECT_EQ(controller->suggestion(), "e\xCC\x81 noir");
    typeKeys("e");
    EXPECT_FALSE(overlay.visible);
    loop.advance(180ms);
    EXPECT_EQ(reader.reads.size(), 3u);
}

TEST_F(ControllerTest, TheOverlayMovesOnlyToACaretThatWasReadWhileItIsShown) {
    offer(" world, how are you");
    reader.caretRect.reset();
    press(Key::tab, Modifier::alt);
    loop.advance(50ms);
    EXPECT_EQ(reader.caretCalls.size(), 1u);
    EXPECT_TRUE(overlay.moves.empty());
    EXPECT_TRUE(overlay.visible);
    EXPECT_EQ(overlay.text, " how are you");

    // The caret answer comes back after the suggestion was dismissed.
    reader.caretRect = caretRect;
    reader.holdCarets = true;
    press(Key::tab, Modifier::alt);
    loop.advance(50ms);
    ASSERT_EQ(reader.caretCalls.size(), 2u);
    press(Key::escape);
    reader.release();
    loop.runPosted();
    EXPECT_TRUE(overlay.moves.empty());

    // Dismissed before the caret is asked for: it never is.
    reader.holdCarets = false;
    reader.nextRead = textRead(typedSoFar + " wide"); // not an answer from the cache
    offer(" there friend");
    typeKeys(" ");
    press(Key::escape);
    loop.advance(100ms);
    EXPECT_EQ(reader.caretCalls.size(), 2u);
    EXPECT_TRUE(overlay.moves.empty());
}

// --- Accepting ---------------------------------------------------------------------------

TEST_F(ControllerTest, WordAcceptsTypeOneWordAtATimeAndTheLastEndsTheSuggestion) {
    settings.setContinueAfterAccept(true);
    reader.caretRect = Rect{360, 120, 1, 18};
    offer(" world, how are you");

    EXPECT_TRUE(press(Key::tab, Modifier::alt));
    EXPECT_EQ(overlay.text, " how are you");
    press(Key::tab, Modifier::alt);
    loop.advance(20ms);
    press(Key::tab, Modifier::alt); // replaces the move still waiting
    loop.advance(49ms);
    EXPECT_TRUE(overlay.moves.empty());
    loop.advance(1ms);
    EXPECT_EQ(overlay.moves.size(), 1u);
    EXPECT_EQ(reader.reads.size(), 1u) << "a word accept that leaves text schedules nothing";

    press(Key::tab, Modifier::alt);
    EXPECT_EQ(tap.typed, (std::vector<std::string>{" world,", " how", " are", " you"}));
    EXPECT_EQ(controller->buffer().text(), "e world, how are you") << "accepted words join the keys typed";
    EXPECT_FALSE(overlay.visible);
    loop.advance(250ms);
    EXPECT_EQ(reader.reads.size(), 2u) << "the last word accept continues as a whole accept";
    EXPECT_EQ(overlay.moves.size(), 1u);

    settings.setKeystrokeFallback(false);
    typeKeys("x");
    EXPECT_EQ(controller->buffer().text(), "") << "without the fallback no key is kept";
}

TEST_F(ControllerTest, AWholeAcceptAsksForMoreAfterTheLongerOfThePauseAnd250Ms) {
    for (const auto& [debounce, wait, continues] :
         {std::tuple{180.0, 250ms, true}, std::tuple{400.0, 400ms, true}, std::tuple{180.0, 2000ms, false}}) {
        SCOPED_TRACE(debounce);
        settings.setDebounceMs(debounce);
        settings.setContinueAfterAccept(continues);
        offer(" world");
        const std::size_t reads = reader.reads.size();
        press(Key::tab);
        loop.advance(wait - 1ms);
        EXPECT_EQ(reader.reads.size(), reads);
        loop.advance(1ms);
        EXPECT_EQ(reader.reads.size(), reads + (continues ? 1 : 0));
    }
}

// --- What else dismisses and forgets -----------------------------------------------------

TEST_F(ControllerTest, EventsThatTypeNothingDismissAskForNothingAndClicksAndShortcutsForgetTheContext) {
    struct Case {
        const char* name;
        InputEvent event;
        bool forgetsContext;
        bool keepsKeys = false;
    };
    const Case cases[] = {
        {"scroll", mouseDown(EventType::scrollWheel), false},
        {"left click", mouseDown(EventType::leftMouseDown), true},
        {"paste", typedKey("v", Modifier::control), true},
        {"Super paste", typedKey("v", Modifier::super), true},
        {"return", specialKey(Key::returnKey), false},
        {"keypad enter", specialKey(Key::keypadEnter), false},
        {"home", specialKey(Key::home), false},
        {"backspace", specialKey(Key::backspace), false},
        // These leave the keys typed as they were.
        {"a key without text", specialKey(Key::other), false, true},
        {"delete", typedKey("\x7F"), false, true},
    };
    offer(" world");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int invalidations = reader.invalidations;
        const std::size_t requests = asked();
        const std::size_t reads = reader.reads.size();
        EXPECT_FALSE(press(c.event));
        EXPECT_FALSE(overlay.visible);
        EXPECT_EQ(controller->buffer().text().empty(), !c.keepsKeys);
        EXPECT_EQ(reader.invalidations, invalidations + (c.forgetsContext ? 1 : 0));
        EXPECT_EQ(readsAfterAWhile(), reads) << "it asks for nothing";
        offer(" world");
        EXPECT_EQ(asked(), requests + (c.forgetsContext ? 1 : 0))
            << "the engine's cache goes with the context";
    }
}

TEST_F(ControllerTest, SwitchedOffEverythingPassesAndTheShownSuggestionGoes) {
    offer(" world");
    settings.setEnabled(false);
    EXPECT_FALSE(press(Key::tab));
    EXPECT_FALSE(overlay.visible);
    typeKeys("abc");
    press(mouseDown());
    EXPECT_EQ(readsAfterAWhile(), 1u);
    EXPECT_EQ(controller->buffer().text(), "");
    EXPECT_EQ(reader.invalidations, 0) << "switched off, a click resets nothing";
}

// --- Applications ------------------------------------------------------------------------

TEST_F(ControllerTest, SwitchingAppsDropsALateAnswerAndEmptiesTheCache) {
    offer(" world");
    models.server.hold = true;
    reader.nextRead = textRead(typedSoFar + " wide");
    pause("x");
    ASSERT_EQ(asked(), 2u);
    workspace.activate(mail);
    models.server.release();
    loop.runPosted();
    EXPECT_FALSE(overlay.visible);
    EXPECT_EQ(reader.invalidations, 1);

    models.server.hold = false;
    workspace.activate(editor);
    pause("e");
    EXPECT_EQ(asked(), 3u) << "the cache was emptied by the switch";
}

TEST_F(ControllerTest, ExcludedOwnAndMissingApplicationsAreNeverRead) {
    settings.setExcludedAppIDs({keePass.appID.value()});
    offer(" world");
    for (const RunningApplication& app : {keePass, ownApp}) {
        SCOPED_TRACE(*app.appID);
        workspace.activate(app);
        typeKeys("secret");
        EXPECT_EQ(controller->buffer().text(), "") << "keys of excluded apps are not recorded";
        EXPECT_EQ(readsAfterAWhile(), 1u);
    }
    // A click still dismisses and resets there.
    const int invalidations = reader.invalidations;
    press(mouseDown());
    EXPECT_EQ(reader.invalidations, invalidations + 1);

    workspace.activate(std::nullopt);
    EXPECT_FALSE(controller->frontApp());
    typeKeys("abc");
    EXPECT_EQ(loop.pendingTimers(), 0u) << "without a front application nothing is scheduled";
}

// Each warming is 31 s after the last, past the warm session's lifetime, so every one is seen.
TEST_F(ControllerTest, SuccessfulStartsAndAppsThatMayGetSuggestionsWarmTheModel) {
    settings.setProvider(ProviderKind::onDevice);
    FakeKeyTap failing;
    failing.startSucceeds = false;
    FakeWorkspace quiet;
    Controller other(collaborators(failing, quiet));
    EXPECT_EQ(other.start(), (StartError{"key tap", "refused by the test"}));
    EXPECT_EQ(quiet.registrations, 0);
    failing.startSucceeds = true;
    for (int i = 0; i < 2; ++i) {
        loop.advance(31s);
        EXPECT_EQ(other.start(), std::nullopt);
    }
    EXPECT_EQ(quiet.registrations, 1);

    settings.setExcludedAppIDs({keePass.appID.value()});
    for (const RunningApplication& app : {keePass, mail, ownApp, editor}) {
        loop.advance(31s);
        workspace.activate(app);
    }
    // A request queues behind every warming on the model's worker, so the calls before its
    // answer are all of them.
    bool answered = false;
    models.engine.complete(CompletionRequest{}, false, [&](const CompletionResult&) { answered = true; });
    ASSERT_TRUE(loop.runUntil([&] { return answered; }));
    using Kind = ScriptedRuntime::Call::Kind;
    const auto calls = models.runtime.calls();
    const auto answer = std::ranges::find(calls, Kind::respond, &ScriptedRuntime::Call::kind);
    EXPECT_EQ(
        std::count_if(calls.begin(), answer, [](const auto& call) { return call.kind == Kind::prewarm; }), 4)
        << "two starts and two apps";
}

// --- Lifetime ----------------------------------------------------------------------------

TEST_F(ControllerTest, WorkStillUnderWayWhenTheControllerGoesFindsNothingToTouch) {
    // A sleeping task, a read and a completion in flight, a reposition waiting.
    typeKeys("a");
    controller.reset();
    EXPECT_EQ(loop.pendingTimers(), 0u);

    controller = makeController();
    models.server.hold = true;
    pause("a");
    ASSERT_EQ(asked(), 1u);
    reader.holdReads = true;
    pause("b");
    controller.reset();
    models.server.answer = " world";
    models.server.release();
    reader.release();
    loop.runPosted();
    EXPECT_EQ(overlay.shows, 0);

    controller = makeController();
    reader.holdReads = models.server.hold = false;
    press(mouseDown()); // the late answer went into the engine's cache
    offer(" there friend");
    typeKeys(" ");
    controller.reset();
    loop.advance(100ms);
    EXPECT_TRUE(overlay.moves.empty());

    // The tap and the workspace still hold the old callbacks.
    EXPECT_FALSE(tap.deliver(specialKey(Key::tab)));
    workspace.activate(mail);
}

} // namespace
} // namespace wisket
