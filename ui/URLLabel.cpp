#include "ui/URLLabel.h"

#include <QMouseEvent>

TURLLabel::TURLLabel(QWidget *parent) : QLabel(parent) {
  QPalette palette = this->palette();
  palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
  setPalette(palette);
  QFont underlined = font();
  underlined.setUnderline(true);
  setFont(underlined);
  setCursor(Qt::ArrowCursor);
}

void TURLLabel::SetTag(int tag) {
  if (tag != FTag)
    FPressed = false;
  FTag = tag;
}

void TURLLabel::mousePressEvent(QMouseEvent *event) {
  FPressed = isEnabled() && event->button() == Qt::LeftButton;
  QLabel::mousePressEvent(event);
}

void TURLLabel::mouseReleaseEvent(QMouseEvent *event) {
  const bool clicked = FPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
  FPressed = false;
  QLabel::mouseReleaseEvent(event);
  if (clicked && isEnabled())
    emit Click();
}

// Comes in place of the second press: the release that follows makes no click.
void TURLLabel::mouseDoubleClickEvent(QMouseEvent *event) {
  FPressed = false;
  event->accept();
}
