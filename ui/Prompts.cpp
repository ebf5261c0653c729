#include "ui/Prompts.h"

#include <QMessageBox>

namespace {

class TMessageBoxPrompter : public TPrompter {
public:
  void Show(QWidget *owner, const TPrompt &prompt) override {
    QMessageBox::Icon icon = QMessageBox::Critical;
    if (prompt.icon == TPromptIcon::Warning)
      icon = QMessageBox::Warning;
    else if (prompt.icon == TPromptIcon::Information)
      icon = QMessageBox::Information;
    QMessageBox box(icon, prompt.caption, prompt.text, QMessageBox::Ok, owner);
    box.exec();
  }
};

TMessageBoxPrompter gMessageBoxPrompter;
TPrompter *gPrompter = &gMessageBoxPrompter;

} // namespace

TPrompter *SetPrompter(TPrompter *prompter) {
  TPrompter *previous = gPrompter;
  gPrompter = prompter ? prompter : &gMessageBoxPrompter;
  return previous;
}

void ShowPrompt(QWidget *owner, const QString &text, const QString &caption, TPromptIcon icon) {
  gPrompter->Show(owner, TPrompt{text, caption, icon});
}

void ShowError(QWidget *owner, const QString &text) {
  ShowPrompt(owner, text, QStringLiteral("Ошибка"), TPromptIcon::Error);
}
