#include "ui/MainFormUnit.h"

#include "core/LogModel.h"
#include "core/RegStore.h"
#include "platform/FileVersion.h"
#include "serial/RingThread.h"
#include "ui/COMSettingsUnit.h"
#include "ui/LOGUnit.h"
#include "ui/Prompts.h"
#include "ui/TPCServerSettingsUnit.h"
#include "ui/URLLabel.h"
#include "ui/WizardFont.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QStyle>
#include <QToolButton>

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

TMainTandrelForm::TMainTandrelForm(TSession &session, TLogModel &log, const TPortSystem &portSystem,
                                   const QString &storePath, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      FSession(session), FLog(log), FPortSystem(portSystem), FStorePath(storePath) {
  setObjectName(QStringLiteral("MainTandrelForm"));
  setWindowTitle(QStringLiteral("Мастер подключения"));
  setFont(WizardFont());
  CreateControls();
  connect(&FSession, &TSession::StateChanged, this, &TMainTandrelForm::ShowState);
  connect(&FSession, &TSession::StatusChanged, this, &TMainTandrelForm::ShowStatus);
  connect(&FSession, &TSession::InputsChanged, this, &TMainTandrelForm::ShowInputs);
  connect(&FSession, &TSession::BoxRequested, this, &TMainTandrelForm::ShowBox);
  connect(&FSession, &TSession::PhoneHistoryChanged, this, &TMainTandrelForm::ShowPhoneHistory);
  connect(&FSession, &TSession::PortListRefreshRequested, this, &TMainTandrelForm::RefreshPortsKeepingChoice);
  connect(&FSession, &TSession::BringToFrontRequested, this, [this] {
    raise();
    activateWindow();
  });
  qApp->installEventFilter(this);
  FormCreate();
}

TMainTandrelForm::~TMainTandrelForm() { qApp->removeEventFilter(this); }

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
  ShowState(csIdle);
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
  // Only the main window keeps the program running: closing it ends the
  // program even while the log window is open.
  for (QWidget *window : std::initializer_list<QWidget *>{comSettings, tcpSettings, log})
    window->setAttribute(Qt::WA_QuitOnClose, false);
}

void TMainTandrelForm::ShowState(TConnectState state) {
  URLLabel1->SetTag(state);
  URLLabel1->setText(kConnectCaptions[state]);
  URLLabel1->adjustSize();
}

void TMainTandrelForm::ShowStatus(const QString &text, bool error) {
  QPalette palette = Label7->palette();
  palette.setColor(QPalette::WindowText, error ? QColor(Qt::red) : QApplication::palette().color(QPalette::ButtonText));
  Label7->setPalette(palette);
  Label7->setText(text);
  Label7->adjustSize();
}

void TMainTandrelForm::ShowInputs(const TInputs &inputs) {
  ConnectTypeComboBox->setEnabled(inputs.type);
  PortsListComboBox->setEnabled(inputs.port);
  PhoneNumber->setEnabled(inputs.phone);
  SpeedButton1->setEnabled(inputs.refresh);
}

void TMainTandrelForm::ShowBox(const TPrompt &prompt) {
  ShowPrompt(this, prompt, [this] { FSession.BoxClosed(); });
}

void TMainTandrelForm::ShowPhoneHistory(const QStringList &numbers) {
  const QString text = PhoneNumber->currentText();
  PhoneNumber->clear();
  PhoneNumber->addItems(numbers);
  PhoneNumber->setEditText(text);
}

void TMainTandrelForm::URLLabel1Click() {
  FSession.URLLabel1Click(
      TConnectChoice{ConnectTypeComboBox->currentIndex(), PortsListComboBox->currentText(), PhoneNumber->currentText()});
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
  FLog.WriteLog(error);
  FLog.WriteLog(outcome);
  ShowPrompt(nullptr, ErrorPrompt(error + QLatin1Char('\n') + outcome));
  // What was read before the error came from the broken store too.
  if (!aside.isEmpty())
    LoadPhoneNumbers();
}

void TMainTandrelForm::closeEvent(QCloseEvent *event) {
  FormClose();
  QWidget::closeEvent(event);
}

void TMainTandrelForm::FormClose() {
  FSession.FormClose();
  SaveSettings();
}
