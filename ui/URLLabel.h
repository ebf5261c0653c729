#pragma once

#include "platform/Clock.h"

#include <QLabel>

#include <optional>

class QInputEvent;

// A link-styled label: blue, underlined, the ordinary arrow pointer, a click
// event and an integer tag (the connect label keeps the connection state there).
//
// A click counts only if it began after the label last changed its tag or was
// enabled, so a click the user made while the program was busy is not applied
// to the state that followed; and a double click counts once.
class TURLLabel : public QLabel {
  Q_OBJECT
public:
  // `clock` must run in real time, like the input events' time stamps.
  explicit TURLLabel(QWidget *parent = nullptr, TClock &clock = SystemClock());

  int Tag() const { return FTag; }
  void SetTag(int tag);

signals:
  void Click();

protected:
  void mousePressEvent(QMouseEvent *event) override;
  void mouseReleaseEvent(QMouseEvent *event) override;
  void mouseDoubleClickEvent(QMouseEvent *event) override;
  void changeEvent(QEvent *event) override;

private:
  // The tick at which `event` happened. Events reach the label late when the
  // program was busy, never early, so the least delay seen between an event's
  // time stamp and its delivery maps time stamps onto ticks.
  uint32_t HappenedAt(const QInputEvent *event);
  // From now on the label offers something new: earlier presses do not count.
  void BeginNewState();

  TClock &FClock;
  int FTag = 0;
  bool FPressed = false;
  uint32_t FStateSince;
  std::optional<uint32_t> FStampToTick;
};
