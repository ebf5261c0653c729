#include "ui/LOGUnit.h"

#include "ui/Prompts.h"
#include "ui/WizardFont.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QListWidget>
#include <QMenu>
#include <QSaveFile>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr qsizetype kHexLogBytes = 256;

} // namespace

QString HexLogText(QByteArrayView chunk) {
  const QByteArrayView shown = chunk.first(std::min(chunk.size(), kHexLogBytes));
  QString text = QStringLiteral("[%1]").arg(chunk.size());
  if (!shown.isEmpty())
    text += QLatin1Char(' ') + QString::fromLatin1(shown.toByteArray().toHex(' ').toUpper());
  if (chunk.size() > shown.size())
    text += QStringLiteral(" …%1").arg(chunk.size() - shown.size());
  return text;
}

bool SaveLogEntries(const QStringList &entries, const QString &path, QString *error) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) {
    *error = file.errorString();
    return false;
  }
  for (const QString &entry : entries) {
    file.write(entry.toLocal8Bit());
    file.write("\r\n", 2);
  }
  if (!file.commit()) {
    *error = file.errorString();
    return false;
  }
  return true;
}

TLOGForm::TLOGForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("LOGForm"));
  setWindowTitle(QStringLiteral("Данные"));
  setFont(WizardFont());
  resize(635, 300);

  Log = new QListWidget(this);
  Log->setObjectName(QStringLiteral("Log"));
  Log->setSelectionMode(QAbstractItemView::ExtendedSelection);
  Log->setUniformItemSizes(true);
  Log->setContextMenuPolicy(Qt::CustomContextMenu);

  AutiscrollCheckBox = new QCheckBox(QStringLiteral("Прокрутка"), this);
  AutiscrollCheckBox->setObjectName(QStringLiteral("AutiscrollCheckBox"));
  // Read by the main window at its next log line; a click scrolls nothing.
  AutiscrollCheckBox->setChecked(false);

  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(Log, 1);
  auto *bottom = new QVBoxLayout;
  bottom->setContentsMargins(3, 3, 3, 3);
  bottom->addWidget(AutiscrollCheckBox);
  layout->addLayout(bottom);

  PopupMenu = new QMenu(this);
  PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
  N1 = PopupMenu->addAction(QStringLiteral("Очистить"));
  N1->setObjectName(QStringLiteral("N1"));
  N2 = PopupMenu->addAction(QStringLiteral("Сохранить"));
  N2->setObjectName(QStringLiteral("N2"));
  N3 = PopupMenu->addAction(QStringLiteral("Шестнадцатеричный вид"));
  N3->setObjectName(QStringLiteral("N3"));
  N3->setCheckable(true);
  N4 = PopupMenu->addAction(QStringLiteral("Копировать"));
  N4->setObjectName(QStringLiteral("N4"));
  N4->setShortcut(QKeySequence::Copy);
  // The list's own Ctrl+C would copy the current entry alone.
  N4->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  Log->addAction(N4);
  connect(N1, &QAction::triggered, this, &TLOGForm::N1Click);
  connect(N2, &QAction::triggered, this, &TLOGForm::N2Click);
  connect(N4, &QAction::triggered, this, &TLOGForm::N4Click);
  connect(Log, &QWidget::customContextMenuRequested, this,
          [this](const QPoint &at) { PopupMenu->popup(Log->viewport()->mapToGlobal(at)); });

  SaveDialog = new QFileDialog(this);
  SaveDialog->setObjectName(QStringLiteral("SaveDialog"));
  SaveDialog->setAcceptMode(QFileDialog::AcceptSave);
  SaveDialog->setDefaultSuffix(QStringLiteral("log"));
  SaveDialog->setNameFilters({QStringLiteral("log files (*.log)"), QStringLiteral("all files (*.*)")});
  SaveDialog->setOption(QFileDialog::DontConfirmOverwrite, true);
}

QStringList TLOGForm::Entries() const {
  QStringList entries;
  entries.reserve(Log->count());
  for (int i = 0; i < Log->count(); ++i)
    entries.append(Log->item(i)->text());
  return entries;
}

void TLOGForm::N1Click() { Log->clear(); }

void TLOGForm::N4Click() {
  QString lines;
  for (int i = 0; i < Log->count(); ++i) {
    if (Log->item(i)->isSelected())
      lines += Log->item(i)->text() + QLatin1Char('\n');
  }
  if (!lines.isEmpty())
    QGuiApplication::clipboard()->setText(lines);
}

void TLOGForm::N2Click() {
  if (SaveDialog->exec() != QDialog::Accepted || SaveDialog->selectedFiles().isEmpty())
    return;
  SaveTo(SaveDialog->selectedFiles().constFirst());
}

void TLOGForm::SaveTo(const QString &path) {
  QString error;
  if (!SaveLogEntries(Entries(), path, &error))
    ShowError(this, QStringLiteral("Не удалось сохранить журнал в файл %1: %2").arg(path, error));
}

