#pragma once

// Where other applications' windows are on the screen, for the accessibility back end:
// some toolkits (GTK 4) give the geometry of their text relative to their window only.
// The windowing system's back end implements it and main hands it to the accessibility
// back end, so neither includes the other.

#include <cstdint>
#include <optional>
#include <string>

namespace wisket {

class WindowLocator {
public:
    struct Point {
        double x = 0;
        double y = 0;
    };

    virtual ~WindowLocator() = default;

    // The screen position of the top-left corner of the content of a top-level window of
    // process `pid`: the one titled `title`, else its first. The content is what the toolkit
    // measures its window coordinates from, `width` × `height` large: inside the shadows
    // and borders that client-side decorations draw around it. None when the process shows
    // no window. Called from one thread at a time.
    virtual std::optional<Point> contentOrigin(std::int32_t pid, const std::string& title, double width,
                                               double height) = 0;
};

} // namespace wisket
