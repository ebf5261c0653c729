#include "app/Application.h"

#include "ui/Prompts.h"

#include <exception>

namespace {

// The exception being handled, in a box owned by `owner`.
void ReportCurrentError(QWidget *owner) {
  try {
    throw;
  } catch (const std::exception &error) {
    ShowPrompt(owner, ErrorPrompt(QString::fromUtf8(error.what())));
  } catch (...) {
    ShowPrompt(owner, ErrorPrompt(QStringLiteral("Неизвестная ошибка")));
  }
}

} // namespace

TTandrelApplication::TTandrelApplication(int &argc, char **argv) : QApplication(argc, argv) {}

bool TTandrelApplication::notify(QObject *receiver, QEvent *event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ReportCurrentError(activeWindow());
  }
  return false;
}

