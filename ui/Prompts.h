#pragma once
// One seam for every modal message box, so that tests can answer them.

#include <QString>

class QWidget;

enum class TPromptIcon { Error, Warning, Information };

struct TPrompt {
  QString text;
  QString caption;
  TPromptIcon icon;
};

class TPrompter {
public:
  virtual ~TPrompter() = default;
  // Shows the box modally and returns once the user has closed it.
  virtual void Show(QWidget *owner, const TPrompt &prompt) = 0;
};

// Routes ShowPrompt to `prompter` (nullptr restores the real message boxes);
// returns the one it replaces.
TPrompter *SetPrompter(TPrompter *prompter);

void ShowPrompt(QWidget *owner, const QString &text, const QString &caption, TPromptIcon icon);

// The common case: an error box with the caption "Ошибка".
void ShowError(QWidget *owner, const QString &text);
