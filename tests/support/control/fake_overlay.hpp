#pragma once

// An overlay that remembers what it shows, where, and how it was styled and moved.

#include "control/collaborators.hpp"

#include <vector>

namespace wisket::testing {

class FakeOverlay final : public Overlay {
public:
    void style(std::optional<std::string> hint, double opacity) override {
        this->hint = std::move(hint);
        this->opacity = opacity;
    }
    void show(const std::string& text, const Anchor& anchor) override {
        this->text = text;
        this->anchor = anchor;
        visible = true;
        ++shows;
    }
    void setText(const std::string& text) override { this->text = text; }
    void moveToCaret(const Rect& caret) override { moves.push_back(caret); }
    void hide() override { visible = false; }
    bool isVisible() const override { return visible; }

    bool visible = false;
    std::string text;
    std::optional<Anchor> anchor;
    std::optional<std::string> hint;
    double opacity = 0;
    int shows = 0;
    std::vector<Rect> moves;
};

} // namespace wisket::testing
