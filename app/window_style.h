#pragma once
// Fonts and control helpers shared by the two windows: controls stand at designed pixel
// positions, and each text has a designed character height in pixels.

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <functional>
#include <QLabel>
#include <QPushButton>

namespace lumo::ui {

// The windows' font: "MS Sans Serif" 8 points where it exists, a Cyrillic sans serif elsewhere.
QFont windowFont();
// The window font with a character height in pixels.
QFont pixelFont(int characterHeight);
// The font of the reading labels: a narrow sans serif, so that the longest reading the meter
// sends ("-1021,81", eight characters) fits its column at the designed character height.
QFont valueFont(int characterHeight);
// A label at (x, y), sized to its text, or `width` wide for a text that changes later.
QLabel* label(QWidget* parent, const QString& text, int x, int y, int characterHeight,
              int width = 0);
QPushButton* button(QWidget* parent, const QString& text, int x, int y, int w, int h,
                    int characterHeight);

// The palette's text colour faded into its background (share 0: background, 1: text), opaque:
// thin lines of an opaque colour take the painter's fast path, where translucent ones are
// blended span by span.
QColor faintText(const QPalette& palette, double share);
// What a view draws seldom (axes, scales, notes), kept in a pixmap of the view's size and drawn
// again only when the view's size, palette or the caller's key change.
class CachedLayer {
public:
    // The layer; `paint` draws it onto the view's window colour when it is out of date.
    const QPixmap& get(const QWidget& view, const QString& key, const std::function<void(QPainter&)>& paint);

private:
    QPixmap pixmap_;
    QString key_;
};

// Whether a palette draws on a dark background.
bool darkBackground(const QPalette& palette);
// The usual colour of phase 0 A (yellow), 1 B (green), 2 C (red), in a shade that stands out on
// the palette's background, light or dark.
QColor phaseColor(int phase, const QPalette& palette);

}  // namespace lumo::ui

#include <stdexcept>
#include <string>

namespace lumo::ui {

// The control, timer or menu item of a window by its object name (every one carries its name);
// raises when there is none, so a renamed control fails loudly.
template <class T>
T* control(const QObject& window, const char* name) {
    T* found = window.findChild<T*>(QString::fromLatin1(name));
    if (!found) throw std::logic_error(std::string("no control named ") + name);
    return found;
}

}  // namespace lumo::ui
