#pragma once
// A message box as the core asks for one: the view shows it.

#include <QString>

enum class TPromptIcon { Error, Warning, Information };

struct TPrompt {
  QString text;
  QString caption;
  TPromptIcon icon;
};

// The common case: an error box with the caption "Ошибка".
inline TPrompt ErrorPrompt(const QString &text) { return TPrompt{text, QStringLiteral("Ошибка"), TPromptIcon::Error}; }
