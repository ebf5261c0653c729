#pragma once

#include <QLabel>

// A link-styled label: blue, underlined, the ordinary arrow pointer, a click
// event and an integer tag (the connect label keeps the connection state
// there). A double click counts once, and a press made in one state is no
// click in the next.
class TURLLabel : public QLabel {
  Q_OBJECT
public:
  explicit TURLLabel(QWidget *parent = nullptr);

  int Tag() const { return FTag; }
  void SetTag(int tag);

signals:
  void Click();

protected:
  void mousePressEvent(QMouseEvent *event) override;
  void mouseReleaseEvent(QMouseEvent *event) override;
  void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
  int FTag = 0;
  bool FPressed = false;
};
