#pragma once

#include <QLabel>

// A link-styled label: blue, underlined, the ordinary arrow pointer, a click
// event and an integer tag (the connect label keeps the connection state there).
class TURLLabel : public QLabel {
  Q_OBJECT
public:
  explicit TURLLabel(QWidget *parent = nullptr);

  int Tag() const { return FTag; }
  void SetTag(int tag) { FTag = tag; }

signals:
  void Click();

protected:
  void mousePressEvent(QMouseEvent *event) override;
  void mouseReleaseEvent(QMouseEvent *event) override;

private:
  int FTag = 0;
  bool FPressed = false;
};
