#pragma once
// Mouse events with the time stamps the window system gives them, sent
// straight to a widget.

#include <QEvent>
#include <QPoint>

class QWidget;

// A left-button press, release or double click at `position` in `widget`,
// stamped with `timestamp` (milliseconds in the window system's base).
void SendLeftButton(QWidget *widget, QEvent::Type type, QPoint position, quint64 timestamp);
