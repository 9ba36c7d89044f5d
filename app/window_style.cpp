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

}  // namespace lumo::ui
