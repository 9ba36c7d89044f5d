#include "app/window_style.h"

namespace lumo::ui {

QFont windowFont() {
    QFont f;
    f.setFamilies({"MS Sans Serif", "Liberation Sans", "Arial", "DejaVu Sans"});
    f.setPointSize(8);
    return f;
}

QFont valueFont(int characterHeight) {
    QFont f = pixelFont(characterHeight);
    f.setFamilies({"Arial Narrow", "Liberation Sans Narrow", "DejaVu Sans Condensed", "Liberation Sans"});
    return f;
}

QFont pixelFont(int characterHeight) {
    QFont f = windowFont();
    f.setPixelSize(characterHeight);
    return f;
}

QLabel* label(QWidget* parent, const QString& text, int x, int y, int characterHeight,
              int width) {
    auto* l = new QLabel(text, parent);
    l->setFont(pixelFont(characterHeight));
    l->move(x, y);
    l->adjustSize();
    if (width > 0) l->resize(width, l->height());
    return l;
}

QPushButton* button(QWidget* parent, const QString& text, int x, int y, int w, int h,
                    int characterHeight) {
    auto* b = new QPushButton(text, parent);
    b->setFont(pixelFont(characterHeight));
    b->setGeometry(x, y, w, h);
    return b;
}

QColor faintText(const QPalette& palette, double share) {
    const QColor back = palette.color(QPalette::Window), text = palette.color(QPalette::WindowText);
    auto mix = [share](float b, float t) { return static_cast<float>((1 - share) * b + share * t); };
    return QColor::fromRgbF(mix(back.redF(), text.redF()), mix(back.greenF(), text.greenF()),
                            mix(back.blueF(), text.blueF()));
}

const QPixmap& CachedLayer::get(const QWidget& view, const QString& key,
                                const std::function<void(QPainter&)>& paint) {
    const QString full = QString("%1 %2 %3 %4").arg(view.width()).arg(view.height()).arg(view.palette().cacheKey()).arg(key);
    if (full == key_) return pixmap_;
    key_ = full;
    const qreal ratio = view.devicePixelRatioF();
    pixmap_ = QPixmap(view.size() * ratio);
    pixmap_.setDevicePixelRatio(ratio);
    pixmap_.fill(view.palette().color(QPalette::Window));
    QPainter p(&pixmap_);
    p.setFont(view.font());
    paint(p);
    return pixmap_;
}

bool darkBackground(const QPalette& palette) { return palette.color(QPalette::Window).lightness() < 128; }

QColor phaseColor(int phase, const QPalette& palette) {
    // Pure yellow vanishes on white and dark red on black: a darker amber and green, a brighter
    // red on light backgrounds; a light yellow, green and red on dark ones.
    static const QColor light[3] = {QColor(0xB8, 0x86, 0x00), QColor(0x1B, 0x8A, 0x2F), QColor(0xD0, 0x1E, 0x1E)};
    static const QColor dark[3] = {QColor(0xFF, 0xD6, 0x1F), QColor(0x4C, 0xD9, 0x64), QColor(0xFF, 0x5A, 0x4F)};
    const int p = phase < 0 || phase > 2 ? 0 : phase;
    return darkBackground(palette) ? dark[p] : light[p];
}

}  // namespace lumo::ui
