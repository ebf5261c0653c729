// The connection controller: the connect label's four states and the dialer's
// termination and progress.
#include "app/MainFormUnit.h"

#include "app/Application.h"
#include "serial/RingThread.h"
#include "ui/LOGUnit.h"
#include "ui/Prompts.h"
#include "ui/URLLabel.h"

#include <QComboBox>
#include <QToolButton>

#include <utility>

namespace {

constexpr int kModemType = 0;
constexpr int kCableType = 1;
constexpr int32_t kModemBaudRate = 19200;

// Enables the connect label again on every way out of its click handler.
class TLabelReenabler {
public:
  explicit TLabelReenabler(QWidget *label) : FLabel(label) { FLabel->setEnabled(false); }
  ~TLabelReenabler() { FLabel->setEnabled(true); }
  TLabelReenabler(const TLabelReenabler &) = delete;
  TLabelReenabler &operator=(const TLabelReenabler &) = delete;

private:
  QWidget *FLabel;
};

bool IsBlank(const QString &text) {
  for (const QChar c : text)
    if (c.unicode() > 32)
      return false;
  return true;
}

} // namespace

void TMainTandrelForm::URLLabel1Click() {
  if (FClosed)
    return;
  // Only the disconnect may act inside a running connection's loop: anything
  // else would start a connection within one that is still ending.
  if (FMainLoops > 0 && !FRelay->Running()) {
    if (!FClickAfterLoop)
      FClickAfterLoop = ConnectState();
    return;
  }
  RunHandler([this] { ConnectLabelClicked(); });
}

void TMainTandrelForm::ConnectLabelClicked() {
  const TLabelReenabler reenabler(URLLabel1);
  if (PortsListComboBox->currentText().isEmpty()) {
    ShowError(this, QStringLiteral("Нет доступных COM портов."));
    return;
  }
  const int type = ConnectTypeComboBox->currentIndex();
  const TConnectState state = ConnectState();
  if (state == csIdle && type == kModemType && IsBlank(PhoneNumber->currentText())) {
    ShowError(this, QStringLiteral("Не указан номер телефона."));
    return;
  }
  if (state == csIdle && type == kModemType && !DialString(PhoneNumber->currentText())) {
    ShowError(this, QStringLiteral("Номер телефона содержит недопустимые символы. "
                                   "Допустимы цифры, пробелы и символы + * # , W P."));
    return;
  }
  switch (state) {
  case csIdle:
    SetConnectState(csConnecting);
    if (type == kModemType) {
      StartDial();
    } else if (type == kCableType) {
      ConnectTypeComboBox->setEnabled(false);
      PortsListComboBox->setEnabled(false);
      FRelay->SetModemConnect(false);
      SpeedButton1->setEnabled(false);
      if (!InitCOMPort()) {
        SetStatus(QStringLiteral("COM-порт занят"), true);
        return;
      }
      SetStatus(QStringLiteral("Идет подключение"));
      ProcessMessages();
      MainLoop();
    }
    break;
  case csConnecting:
    CancelDial();
    break;
  case csConnected:
    Disconnect();
    break;
  case csModemLost:
    SetConnectState(csConnecting);
    StartDial();
    break;
  }
}

void TMainTandrelForm::StartDial() {
  StorePhoneNumber(PhoneNumber->currentText());
  EnableInputs(false);
  FRelay->SetModemConnect(true);
  TRingThreadCreateStruct record;
  record.COM = PortsListComboBox->currentText();
  record.BaudRate = kModemBaudRate;
  record.Phone = PhoneNumber->currentText();
  record.LogObject = LOGForm ? LOGForm->Log : nullptr;
  record.TerminateHandler = [this](TRingThread *thread) { RingThreadTerminated(thread); };
  record.Owner = this;
  FRing = new TRingThread(record, FClock);
  // Owned by the window too, so that no finished dialer outlives it.
  FRing->setParent(this);
}

void TMainTandrelForm::CancelDial() {
  ShowNoConnection(csIdle, QStringLiteral("нажатие на кнопку подключения в момент подключения к прибору"));
  if (ConnectTypeComboBox->currentIndex() == kModemType)
    CancelRing();
  FRelay->CloseCOMPort();
  EnableInputs(true);
}

// The dialer, if one runs, is told it was cancelled and waited for; its
// termination notification then leaves it to be destroyed here.
void TMainTandrelForm::CancelRing() {
  TRingThread *ring = std::exchange(FRing, nullptr);
  if (!ring)
    return;
  ring->SetErrorCode(RING_CANCELLED);
  ring->Terminate();
  ring->WaitFor();
  delete ring;
}

void TMainTandrelForm::Disconnect() {
  ShowNoConnection(csIdle, QStringLiteral("нажатие на кнопку подключения при подключенном приборе (разрыв подключения)"));
  FRelay->Stop(TRelayEnd::UserDisconnect);
  if (ConnectTypeComboBox->currentIndex() == kModemType) {
    FRelay->HangUpModem();
    FRelay->SetModemConnect(false);
  }
  const QString port = PortsListComboBox->currentText();
  RefreshPortsList();
  SelectComboItem(PortsListComboBox, port);
  EnableInputs(true);
}

void TMainTandrelForm::RingThreadTerminated(TRingThread *thread) {
  RunHandler([&] {
    const uint32_t code = thread->ErrorCode();
    FRelay->TakeOverCOM(thread->TakeCOM());
    if (code != RING_CANCELLED) {
      // A cancelled dialer is destroyed by the cancel; any other one once its
      // notification (which may hold a whole relay) has returned.
      if (FRing == thread)
        FRing = nullptr;
      thread->ReleaseWhenFinished();
    }
    if (code == 0) {
      MainLoop();
    } else if (code >= 1 && code <= 7) {
      FRelay->CloseCOMPort();
      SetStatus(RingErrorMessages[code], true);
      SetConnectState(csIdle);
      EnableInputs(true);
    } else if (code == RING_CANCELLED) {
      FRelay->CloseCOMPort();
    }
  });
}

void TMainTandrelForm::WMRingProgress(int stage) {
  // A stage posted just before a cancel may arrive after it: it must not
  // relabel a window that is no longer dialling.
  if (ConnectState() != csConnecting)
    return;
  SetStatus(stage >= 1 && stage <= int(RingStageTexts.size()) ? RingStageTexts[stage - 1] : Label7->text());
}

void TMainTandrelForm::RunHandler(const std::function<void()> &body) {
  try {
    body();
  } catch (...) {
    ShowWhatRuns();
    ReportCurrentError(this);
  }
}

// After an error broke a handler off: a running relay or dial keeps its
// state; anything else the handler had begun is ended.
void TMainTandrelForm::ShowWhatRuns() {
  if (FRelay->Running()) {
    SetConnectState(csConnected);
    EnableInputs(false);
  } else if (FRing) {
    SetConnectState(csConnecting);
    EnableInputs(false);
  } else if (ConnectState() != csIdle || FRelay->PortOpen() || ServerSocket->Active()) {
    EndAttempt(QStringLiteral("ошибка прервала обработку события"), FRelay->ModemConnect());
  } else {
    EnableInputs(true);
  }
}

bool TMainTandrelForm::InitCOMPort() {
  if (FRelay->OpenCOMFromSettings()) {
    WriteLog(QStringLiteral("COM порт успешно открыт"));
    return true;
  }
  WriteLog(QStringLiteral("Ошибка открытия COM порта"));
  WriteLog(QString::fromLocal8Bit(LastOpenCOMError()));
  return false;
}
