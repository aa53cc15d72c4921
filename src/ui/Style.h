#pragma once
// Fonts, colours and icons of the shell. Sizes are given in the design's points, where the body
// text is 13; they are scaled to the application's own font so the desktop's font settings hold.
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QString>

class QWidget;

namespace lw::ui {

enum class Weight { regular, semibold, bold };

// The system font (or the fixed-width one) at `points` of the design's scale.
QFont font(double points, Weight weight = Weight::regular, bool monospaced = false);
void setFont(QWidget* widget, double points, Weight weight = Weight::regular, bool monospaced = false);

// The dimmed text colour for notes and counts.
QColor secondaryColor(const QWidget* widget);
QColor accentColor(const QWidget* widget);
QColor failureColor();  // red
QColor successColor();  // green
// Sets the widget's text colour.
void setTextColor(QWidget* widget, const QColor& color);

// An icon from the desktop's theme for one of the shell's symbol names ("building.2.crop.circle",
// "terminal", "folder", "xmark.circle.fill", and the panels' own names), drawn by the shell when
// the theme has none, in `tint` (the text colour when invalid). Unknown names give a circle.
QIcon symbolIcon(const QString& symbolName, const QColor& tint = QColor());

}  // namespace lw::ui
