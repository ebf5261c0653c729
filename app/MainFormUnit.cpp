#include "app/MainFormUnit.h"

#include "app/Application.h"

#include "app/RegStore.h"
#include "app/ServerSocket.h"
#include "app/SetupFolders.h"
#include "app/SetupLauncher.h"
#include "platform/FileVersion.h"
#include "serial/RingThread.h"
#include "ui/COMSettingsUnit.h"
#include "ui/LOGUnit.h"
#include "ui/Prompts.h"
#include "ui/TPCServerSettingsUnit.h"
#include "ui/TimeFuncs.h"
#include "ui/URLLabel.h"
#include "ui/WizardFont.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QStyle>
#include <QToolButton>

#include <utility>

namespace {

const QString kNoConnection = QStringLiteral("Нет подключения");

// The status texts of the window's own; with the dialer's stage and failure
// texts they are every text the status line can show, and the window is made
// wide enough for each.
const QString kOwnStatusTexts[] = {kNoConnection,
                                   QStringLiteral("Подключен"),
                                   QStringLiteral("Идет подключение"),
                                   QStringLiteral("COM-порт занят"),
                                   QStringLiteral("Прибор недоступен"),
                                   QStringLiteral("Прибор не доступен")};

const QString kConnectCaptions[] = {QStringLiteral("Подключить"), QStringLiteral("Отмена подключения"),
                                    QStringLiteral("Отключить"), QStringLiteral("Переподключить")};

QLabel *NewLabel(QWidget *parent, const char *name, const QString &text, int left, int top) {
  auto *label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->move(left, top);
  label->adjustSize();
  return label;
}

QComboBox *NewCombo(QWidget *parent, const char *name, QRect geometry, bool editable) {
  auto *combo = new QComboBox(parent);
  combo->setObjectName(QString::fromLatin1(name));
  combo->setEditable(editable);
  combo->setGeometry(geometry);
  return combo;
}

template <typename TTexts> int WidestText(const QFontMetrics &metrics, const TTexts &texts) {
  int widest = 0;
  for (const QString &text : texts)
    widest = qMax(widest, metrics.horizontalAdvance(text));
  return widest;
}

} // namespace

TMainFormEnvironment TMainFormEnvironment::FromSystem() {
  const QStringList setupFolders =
      SetupDataFolders(QCoreApplication::applicationDirPath(), QProcessEnvironment::systemEnvironment());
  return TMainFormEnvironment{&SystemClock(), TPortSystem::FromEnvironment(), TRegistryKey::DefaultStorePath(),
                              ResolveSetupFolder(setupFolders)};
}

TMainTandrelForm::TMainTandrelForm(const TMainFormEnvironment &environment, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      FClock(*environment.clock), FPortSystem(environment.portSystem), FStorePath(environment.storePath),
      FSetupFolder(environment.setupFolder) {
  setObjectName(QStringLiteral("MainTandrelForm"));
  setWindowTitle(QStringLiteral("Мастер подключения"));
  setFont(WizardFont());
  FLauncher = std::make_unique<TSetupLauncher>(FSetupFolder, this, [this](const QString &line) { WriteLog(line); });
  ServerSocket = new TServerSocket(this);
  CreateControls();
  FRelay = std::make_unique<TRelay>(static_cast<TRelayWindow &>(*this), *ServerSocket, FClock, FPortSystem);
  qApp->installEventFilter(this);
  // Start-up runs before the event loop, where the top-level error reporting
  // cannot see it: a settings error is reported here, the remaining start-up
  // steps are skipped and the window still opens.
  try {
    FormCreate();
  } catch (...) {
    ReportCurrentError(nullptr);
  }
}

TMainTandrelForm::~TMainTandrelForm() {
  qApp->removeEventFilter(this);
  // A dial still running when the program ends is cancelled and waited for.
  CancelRing();
  StopSetupProgram();
  FRelay.reset();
}

void TMainTandrelForm::CreateControls() {
  Label3 = NewLabel(this, "Label3", QStringLiteral("Тип подключения:"), 16, 11);
  ConnectTypeComboBox = NewCombo(this, "ConnectTypeComboBox", QRect(128, 8, 215, 21), false);
  ConnectTypeComboBox->addItems({QStringLiteral("CSD (GSM-модем)"), QStringLiteral("USB/COM (кабель)")});
  ConnectTypeComboBox->setCurrentIndex(0);
  connect(ConnectTypeComboBox, &QComboBox::activated, this, [this] { ConnectTypeComboBoxChange(); });

  Label4 = NewLabel(this, "Label4", QStringLiteral("COM-порт:"), 16, 38);
  PortsListComboBox = NewCombo(this, "PortsListComboBox", QRect(128, 35, 185, 21), false);
  connect(PortsListComboBox, &QComboBox::currentTextChanged, PortsListComboBox, &QWidget::setToolTip);
  ShowPortDescriptions(PortsListComboBox);

  SpeedButton1 = new QToolButton(this);
  SpeedButton1->setObjectName(QStringLiteral("SpeedButton1"));
  SpeedButton1->setFocusPolicy(Qt::NoFocus);
  SpeedButton1->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
  SpeedButton1->setIconSize(QSize(16, 16));
  SpeedButton1->setAutoRaise(true);
  SpeedButton1->setToolTip(QStringLiteral("Обновить список портов"));
  SpeedButton1->setGeometry(320, 35, 23, 22);
  connect(SpeedButton1, &QToolButton::clicked, this, &TMainTandrelForm::SpeedButton1Click);

  Label5 = NewLabel(this, "Label5", QStringLiteral("Номер телефона:"), 16, 65);
  PhoneNumber = NewCombo(this, "PhoneNumber", QRect(128, 62, 215, 21), true);
  PhoneNumber->setInsertPolicy(QComboBox::NoInsert);

  URLLabel1 = new TURLLabel(this);
  URLLabel1->setObjectName(QStringLiteral("URLLabel1"));
  URLLabel1->move(16, 89);
  SetConnectState(csIdle);
  connect(URLLabel1, &TURLLabel::Click, this, &TMainTandrelForm::URLLabel1Click);

  Label6 = NewLabel(this, "Label6", QStringLiteral("Статус:"), 144, 89);
  Label7 = NewLabel(this, "Label7", kNoConnection, 190, 89);
  Label7->move(qMax(190, Label6->geometry().right() + 6), 89);

  setTabOrder(ConnectTypeComboBox, PortsListComboBox);
  setTabOrder(PortsListComboBox, PhoneNumber);

  // Labels grow with their text: reserve room for the widest caption and status.
  const QFontMetrics metrics(URLLabel1->font());
  const int widestCaption = WidestText(metrics, kConnectCaptions);
  if (URLLabel1->x() + widestCaption + 6 > Label6->x()) {
    const int shift = URLLabel1->x() + widestCaption + 6 - Label6->x();
    Label6->move(Label6->x() + shift, Label6->y());
    Label7->move(Label7->x() + shift, Label7->y());
  }
  const QFontMetrics statusMetrics(Label7->font());
  const int widestStatus = qMax(WidestText(statusMetrics, kOwnStatusTexts),
                                qMax(WidestText(statusMetrics, RingErrorMessages), WidestText(statusMetrics, RingStageTexts)));
  // The input column starts after the widest label; what the window gains for
  // its longest status text goes to the combo boxes.
  const int column = qMax(128, qMax(Label3->geometry().right(), qMax(Label4->geometry().right(), Label5->geometry().right())) + 7);
  const int shift = column - 128;
  const int width = qMax(351 + shift, Label7->x() + widestStatus + 8);
  const int extra = width - 351 - shift;
  ConnectTypeComboBox->setGeometry(column, 8, 215 + extra, 21);
  PortsListComboBox->setGeometry(column, 35, 185 + extra, 21);
  SpeedButton1->move(320 + shift + extra, 35);
  PhoneNumber->setGeometry(column, 62, 215 + extra, 21);
  FixWindowSize(this, QSize(width, 116));
}

void TMainTandrelForm::AttachWindows(TCOMSettingsForm *comSettings, TTCPServerSettingsForm *tcpSettings,
                                     TLOGForm *log) {
  COMSettingsForm = comSettings;
  TCPServerSettingsForm = tcpSettings;
  LOGForm = log;
  AppendToLogList(std::exchange(FStartupLog, {}));
  LOGForm->N3->setChecked(FHexLogView);
  connect(LOGForm->N3, &QAction::toggled, this, [this](bool on) { FHexLogView = on; });
  // Only the main window keeps the program running: closing it ends the
  // program even while the log window is open.
  for (QWidget *window : std::initializer_list<QWidget *>{comSettings, tcpSettings, log})
    window->setAttribute(Qt::WA_QuitOnClose, false);
}

void TMainTandrelForm::SetConnectState(TConnectState state) {
  URLLabel1->SetTag(state);
  URLLabel1->setText(kConnectCaptions[state]);
  URLLabel1->adjustSize();
}

TConnectState TMainTandrelForm::ConnectState() const { return static_cast<TConnectState>(URLLabel1->Tag()); }

void TMainTandrelForm::SetStatus(const QString &text, bool error) {
  QPalette palette = Label7->palette();
  palette.setColor(QPalette::WindowText, error ? QColor(Qt::red) : QApplication::palette().color(QPalette::ButtonText));
  Label7->setPalette(palette);
  Label7->setText(text);
  Label7->adjustSize();
}

void TMainTandrelForm::ShowNoConnection(TConnectState state, const QString &where) {
  SetConnectState(state);
  SetStatus(kNoConnection);
  WriteLog(QStringLiteral("Установили \"Нет подключения\", ") + where);
}

void TMainTandrelForm::EnableInputs(bool enabled) {
  ConnectTypeComboBox->setEnabled(enabled);
  PortsListComboBox->setEnabled(enabled);
  PhoneNumber->setEnabled(enabled);
  SpeedButton1->setEnabled(enabled);
}

void TMainTandrelForm::ConnectTypeComboBoxChange() {
  const int type = ConnectTypeComboBox->currentIndex();
  if (type != 0 && type != 1)
    return;
  Label4->setText(QStringLiteral("COM-порт:"));
  Label5->setVisible(type == 0);
  PhoneNumber->setVisible(type == 0);
}

bool TMainTandrelForm::FormKeyDown(int key, Qt::KeyboardModifiers shift) {
  if (!(shift & Qt::ControlModifier) || !(shift & Qt::AltModifier))
    return false;
  QWidget *window = nullptr;
  if (key == Qt::Key_C)
    window = COMSettingsForm;
  else if (key == Qt::Key_L)
    window = LOGForm;
  else if (key == Qt::Key_T)
    window = TCPServerSettingsForm;
  if (!window)
    return false;
  window->show();
  return true;
}

bool TMainTandrelForm::eventFilter(QObject *watched, QEvent *event) {
  // Key preview: the window sees key presses before the focused control, and
  // only while it is the active window. A key press passes through here once
  // for each widget it propagates to, so act on the first receiver only.
  if (event->type() == QEvent::KeyPress && QApplication::activeWindow() == this) {
    QWidget *focus = QApplication::focusWidget();
    if (watched == (focus ? static_cast<QObject *>(focus) : this)) {
      const auto *key = static_cast<QKeyEvent *>(event);
      FormKeyDown(key->key(), key->modifiers());
    }
  }
  return QWidget::eventFilter(watched, event);
}

bool TMainTandrelForm::Autoscroll() const { return LOGForm && LOGForm->AutiscrollCheckBox->isChecked(); }

bool TMainTandrelForm::LogShown() const { return LOGForm && LOGForm->isVisible(); }

void TMainTandrelForm::WriteLog(const QString &text, const QString &prefix) {
  // What start-up has to say is kept for the log window, which does not exist yet.
  if (LOGForm && !LogShown())
    return;
  QString body = text;
  const qsizetype nul = body.indexOf(QChar(0));
  if (nul >= 0)
    body.truncate(nul);
  AppendLogEntries(SplitLogLines(body), prefix);
}

void TMainTandrelForm::WriteLogChunk(QByteArrayView chunk, const QString &prefix) {
  // Decoded only for a log window that shows it: this runs for every chunk.
  if (!LogShown())
    return;
  if (FHexLogView)
    AppendLogEntries({HexLogText(chunk)}, prefix);
  else
    WriteLog(QString::fromLocal8Bit(chunk), prefix);
}

void TMainTandrelForm::AppendLogEntries(const QStringList &lines, const QString &prefix) {
  QStringList entries;
  for (const QString &line : lines)
    entries.append(QStringLiteral("%1: %2 %3").arg(NowStamp(), prefix, line));
  if (LOGForm)
    AppendToLogList(entries);
  else
    FStartupLog += entries;
}

void TMainTandrelForm::AppendToLogList(const QStringList &entries) {
  QListWidget *log = LOGForm->Log;
  for (const QString &entry : entries) {
    if (log->count() > 2000)
      log->clear();
    log->addItem(entry);
  }
  if (Autoscroll() && log->count() > 0)
    log->scrollToItem(log->item(log->count() - 1), QAbstractItemView::PositionAtTop);
}

QString TMainTandrelForm::GetFileVersionString() {
  return QString::fromLocal8Bit(::GetFileVersionString(QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString()));
}

void TMainTandrelForm::FormCreate() {
  setWindowTitle(QStringLiteral("Мастер подключения v.") + GetFileVersionString());
  LoadStored(&TMainTandrelForm::LoadPhoneNumbers);
  RefreshPortsList();
  LoadStored(&TMainTandrelForm::LoadSettings);
  ConnectTypeComboBoxChange();
}

// A settings store that cannot be read is reported once and set aside;
// start-up goes on with the defaults, and the next save writes a sound store.
void TMainTandrelForm::LoadStored(void (TMainTandrelForm::*load)()) {
  try {
    (this->*load)();
  } catch (const TRegistryError &error) {
    if (!std::exchange(FBrokenSettingsReported, true))
      SetAsideBrokenSettings(QString::fromUtf8(error.what()));
  }
}

void TMainTandrelForm::SetAsideBrokenSettings(const QString &error) {
  QString reason;
  const QString aside = SetAsideBrokenStore(FStorePath, &reason);
  const QString outcome =
      aside.isEmpty()
          ? QStringLiteral("Не удалось отложить повреждённые настройки: %1").arg(reason)
          : QStringLiteral("Настройки перенесены в %1, приняты настройки по умолчанию").arg(QDir::toNativeSeparators(aside));
  WriteLog(error);
  WriteLog(outcome);
  ShowError(nullptr, error + QLatin1Char('\n') + outcome);
  // What was read before the error came from the broken store too.
  if (!aside.isEmpty())
    LoadPhoneNumbers();
}

void TMainTandrelForm::closeEvent(QCloseEvent *event) {
  FormClose();
  QWidget::closeEvent(event);
}

bool TMainTandrelForm::event(QEvent *event) {
  if (event->type() == WM_RINGPROGRESS) {
    WMRingProgress(static_cast<TRingProgressEvent *>(event)->Stage());
    return true;
  }
  return QWidget::event(event);
}

void TMainTandrelForm::FormClose() {
  // A running relay ends its pass and tears itself down; a click still on its
  // way must not start a connection in a closed window.
  FClosed = true;
  FClickAfterLoop.reset();
  FRelay->Stop(TRelayEnd::WindowClosed);
  StopSetupProgram();
  SaveSettings();
}
