#include "MouseEvents.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QWidget>

void SendLeftButton(QWidget *widget, QEvent::Type type, QPoint position, quint64 timestamp) {
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
  QMouseEvent event(type, QPointF(position), QPointF(widget->mapToGlobal(position)), Qt::LeftButton, held,
                    Qt::NoModifier);
  event.setTimestamp(timestamp);
  QCoreApplication::sendEvent(widget, &event);
}
