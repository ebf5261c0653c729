#include "ui/LOGUnit.h"

#include "core/LogModel.h"
#include "ui/Prompts.h"
#include "ui/WizardFont.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHideEvent>
#include <QListView>
#include <QMenu>
#include <QVBoxLayout>

#include <algorithm>

TLOGForm::TLOGForm(TLogModel &log, QWidget *parent) : QWidget(parent, Qt::Window), FLog(log) {
  setObjectName(QStringLiteral("LOGForm"));
  setWindowTitle(QStringLiteral("Данные"));
  setFont(WizardFont());
  resize(635, 300);

  Log = new QListView(this);
  Log->setObjectName(QStringLiteral("Log"));
  Log->setModel(&FLog);
  Log->setSelectionMode(QAbstractItemView::ExtendedSelection);
  Log->setUniformItemSizes(true);
  Log->setContextMenuPolicy(Qt::CustomContextMenu);

  AutiscrollCheckBox = new QCheckBox(QStringLiteral("Прокрутка"), this);
  AutiscrollCheckBox->setObjectName(QStringLiteral("AutiscrollCheckBox"));
  // Read at the next log line; a click scrolls nothing.
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
  N3->setChecked(FLog.HexView());
  connect(N3, &QAction::toggled, &FLog, &TLogModel::SetHexView);
  connect(&FLog, &TLogModel::HexViewChanged, N3, &QAction::setChecked);
  connect(&FLog, &TLogModel::Written, this, &TLOGForm::ScrollAfterWrite);
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
  connect(SaveDialog, &QFileDialog::fileSelected, this, &TLOGForm::SaveTo);
  // Hidden at start: from now on the log records while the window is shown.
  FLog.SetRecording(false);
}

QStringList TLOGForm::Entries() const { return FLog.Entries(); }

void TLOGForm::N1Click() { FLog.Clear(); }

void TLOGForm::N4Click() {
  QModelIndexList selected = Log->selectionModel()->selectedIndexes();
  std::sort(selected.begin(), selected.end(), [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
  QString lines;
  for (const QModelIndex &index : selected)
    lines += index.data().toString() + QLatin1Char('\n');
  if (!lines.isEmpty())
    QGuiApplication::clipboard()->setText(lines);
}

// The dialog is modal to this window only and returns at once; the save
// follows once a file is chosen.
void TLOGForm::N2Click() { SaveDialog->open(); }

void TLOGForm::SaveTo(const QString &path) {
  QString error;
  if (!SaveLogEntries(Entries(), path, &error))
    ShowPrompt(this, ErrorPrompt(QStringLiteral("Не удалось сохранить журнал в файл %1: %2").arg(path, error)));
}

void TLOGForm::showEvent(QShowEvent *event) {
  FLog.SetRecording(true);
  QWidget::showEvent(event);
}

void TLOGForm::hideEvent(QHideEvent *event) {
  // A minimized window sends a spontaneous hide but is still shown: it records.
  if (!event->spontaneous())
    FLog.SetRecording(false);
  QWidget::hideEvent(event);
}

// The dialer's lines are always shown; the writer's when autoscroll is on,
// with the newest entry brought to the top of the view.
void TLOGForm::ScrollAfterWrite(bool byDialer) {
  const int count = FLog.rowCount();
  if (count == 0 || (!byDialer && !AutiscrollCheckBox->isChecked()))
    return;
  Log->scrollTo(FLog.index(count - 1), byDialer ? QAbstractItemView::EnsureVisible : QAbstractItemView::PositionAtTop);
}
