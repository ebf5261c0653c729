#include "ui/LOGUnit.h"

#include "ui/Prompts.h"
#include "ui/WizardFont.h"

#include <QAction>
#include <QCheckBox>
#include <QFileDialog>
#include <QListWidget>
#include <QMenu>
#include <QSaveFile>
#include <QVBoxLayout>

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
  Log->setSelectionMode(QAbstractItemView::SingleSelection);
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
  connect(N1, &QAction::triggered, this, &TLOGForm::N1Click);
  connect(N2, &QAction::triggered, this, &TLOGForm::N2Click);
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

