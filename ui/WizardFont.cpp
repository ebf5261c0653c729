#include "ui/WizardFont.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

QFont WizardFont() {
  static const QFont font = [] {
    const QString family = QFontDatabase::families().contains(QStringLiteral("Tahoma"))
                               ? QStringLiteral("Tahoma")
                               : QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    QFont f(family);
    f.setPointSize(8);
    return f;
  }();
  return font;
}

void FixWindowSize(QWidget *window, QSize designed) {
  QSize size = designed;
  for (const QWidget *child : window->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
    if (child->isWindow())
      continue;
    size = size.expandedTo(QSize(child->x() + child->width() + 8, child->y() + child->height() + 8));
  }
  window->setFixedSize(size);
  if (const QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    window->move(area.center() - QPoint(size.width() / 2, size.height() / 2));
  }
}
