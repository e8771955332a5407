#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>

namespace torvane::StatusGlyph {

// The green of an active status icon (the system green of the platform's light appearance).
QColor systemGreen();

// The Caps Lock glyph, an arrow over a bar, `size` pixels square: an outline in `ink` when inactive,
// filled in the system green when active. Drawn per size on the pixel grid so it stays crisp.
QImage render(bool active, int size, const QColor& ink, const QColor& halo);

// Every size a tray is likely to ask for, drawn separately.
QIcon icon(bool active, const QColor& ink, const QColor& halo);

} // namespace torvane::StatusGlyph
