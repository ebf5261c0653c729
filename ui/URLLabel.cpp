#include "ui/URLLabel.h"

#include <QMouseEvent>

TURLLabel::TURLLabel(QWidget *parent, TClock &clock) : QLabel(parent), FClock(clock), FStateSince(clock.TickCount()) {
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
    BeginNewState();
  FTag = tag;
}

void TURLLabel::mousePressEvent(QMouseEvent *event) {
  const bool sinceStateBegan = static_cast<int32_t>(HappenedAt(event) - FStateSince) >= 0;
  FPressed = isEnabled() && event->button() == Qt::LeftButton && sinceStateBegan;
  QLabel::mousePressEvent(event);
}

void TURLLabel::mouseReleaseEvent(QMouseEvent *event) {
  HappenedAt(event);
  const bool clicked = FPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
  FPressed = false;
  QLabel::mouseReleaseEvent(event);
  if (clicked && isEnabled())
    emit Click();
}

// Comes in place of the second press: the release that follows makes no click.
void TURLLabel::mouseDoubleClickEvent(QMouseEvent *event) {
  HappenedAt(event);
  FPressed = false;
  event->accept();
}

void TURLLabel::changeEvent(QEvent *event) {
  if (event->type() == QEvent::EnabledChange)
    BeginNewState();
  QLabel::changeEvent(event);
}

uint32_t TURLLabel::HappenedAt(const QInputEvent *event) {
  const uint32_t stamp = static_cast<uint32_t>(event->timestamp());
  const uint32_t stampToTick = FClock.TickCount() - stamp;
  if (!FStampToTick || static_cast<int32_t>(stampToTick - *FStampToTick) < 0)
    FStampToTick = stampToTick;
  return stamp + *FStampToTick;
}

void TURLLabel::BeginNewState() {
  FStateSince = FClock.TickCount();
  FPressed = false;
}
