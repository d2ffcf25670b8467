#include "app/Controls.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>

namespace mg {

namespace {
template <class W>
W* Bold(W* widget, bool bold) {
    if (!bold) return widget;
    QFont f = widget->font();
    f.setBold(true);
    widget->setFont(f);
    return widget;
}
}  // namespace

QFont FixedPitchFont() {
    QFont font(QStringLiteral("Courier New"), 9);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    if (!QFontInfo(font).fixedPitch()) {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSize(9);
    }
    return font;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, QRect geometry, bool bold) {
    return Bold(Named(new QPushButton(U(caption), parent), name, geometry), bold);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* caption, QRect geometry, bool bold) {
    return Bold(Named(new QLabel(U(caption), parent), name, geometry), bold);
}

QGroupBox* MakeGroup(QWidget* parent, const char* name, const char* caption, QRect geometry) {
    return Named(new QGroupBox(U(caption), parent), name, geometry);
}

QListWidget* MakeList(QWidget* parent, const char* name, QRect geometry) {
    auto* l = Make<QListWidget>(parent, name, geometry);
    l->setUniformItemSizes(true);
    return l;
}

QWidget* MakePage(QTabWidget* pages, const char* name, const char* caption) {
    auto* page = Named(new QWidget, name);
    pages->addTab(page, U(caption));
    return page;
}

}  // namespace mg
