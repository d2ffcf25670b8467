// Small helpers that make the windows' controls: each named (the names the
// tests and the layout know them by), placed, with its caption.
#pragma once

#include <QRect>
#include <QString>

class QFont;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTabWidget;
class QWidget;

namespace mg {

inline QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// The fixed-pitch font the lists are drawn in, so that padded columns line up.
QFont FixedPitchFont();

// Names and places `widget` (an empty rectangle leaves it to a layout).
template <class W>
W* Named(W* widget, const char* name, QRect geometry = {}) {
    widget->setObjectName(QString::fromLatin1(name));
    if (!geometry.isNull()) widget->setGeometry(geometry);
    return widget;
}
template <class W>
W* Make(QWidget* parent, const char* name, QRect geometry = {}) {
    return Named(new W(parent), name, geometry);
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, QRect geometry = {}, bool bold = false);
QLabel* MakeLabel(QWidget* parent, const char* name, const char* caption, QRect geometry, bool bold = false);
QGroupBox* MakeGroup(QWidget* parent, const char* name, const char* caption, QRect geometry);
QListWidget* MakeList(QWidget* parent, const char* name, QRect geometry);
QWidget* MakePage(QTabWidget* pages, const char* name, const char* caption);

}  // namespace mg
