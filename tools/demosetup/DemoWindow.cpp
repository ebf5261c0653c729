#include "DemoWindow.h"

#include "DemoClient.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QVBoxLayout>

namespace {

const QString SetTemplate = QStringLiteral("SET name value");
constexpr int SetArgumentsStart = 4; // after "SET "

} // namespace

TDemoWindow::TDemoWindow(TDemoClient *client, QWidget *parent) : QWidget(parent), FClient(client) {
  setWindowTitle(QStringLiteral("Демо-программа настройки"));
  resize(520, 380);

  StateLabel = new QLabel(this);
  RequestEdit = new QLineEdit(this);
  RequestEdit->setPlaceholderText(QStringLiteral("Запрос к прибору, например GET serial"));
  SendButton = new QPushButton(QStringLiteral("Отправить"), this);
  FRequestButtons.append(SendButton);
  PingButton = AddRequestButton(QStringLiteral("PING"));
  SerialButton = AddRequestButton(QStringLiteral("GET serial"));
  FirmwareButton = AddRequestButton(QStringLiteral("GET firmware"));
  SetButton = new QPushButton(SetTemplate, this);
  AnswersView = new QPlainTextEdit(this);
  AnswersView->setReadOnly(true);

  auto *requestRow = new QHBoxLayout;
  requestRow->addWidget(RequestEdit, 1);
  requestRow->addWidget(SendButton);
  auto *quickRow = new QHBoxLayout;
  for (QPushButton *button : {PingButton, SerialButton, FirmwareButton, SetButton})
    quickRow->addWidget(button);
  auto *layout = new QVBoxLayout(this);
  layout->addWidget(StateLabel);
  layout->addLayout(requestRow);
  layout->addLayout(quickRow);
  layout->addWidget(new QLabel(QStringLiteral("Ответы прибора:"), this));
  layout->addWidget(AnswersView, 1);

  connect(SendButton, &QPushButton::clicked, this, &TDemoWindow::SendButtonClick);
  connect(RequestEdit, &QLineEdit::returnPressed, this, &TDemoWindow::SendButtonClick);
  connect(SetButton, &QPushButton::clicked, this, &TDemoWindow::SetButtonClick);
  connect(FClient, &TDemoClient::ConnectedChanged, this, &TDemoWindow::ShowConnected);
  connect(FClient, &TDemoClient::AnswerReceived, this, &TDemoWindow::AppendAnswer);
  ShowConnected(FClient->IsConnected());
}

QPushButton *TDemoWindow::AddRequestButton(const QString &request) {
  auto *button = new QPushButton(request, this);
  connect(button, &QPushButton::clicked, this, [this, request] { SendRequest(request); });
  FRequestButtons.append(button);
  return button;
}

void TDemoWindow::SendButtonClick() {
  const QString request = RequestEdit->text().trimmed();
  if (!request.isEmpty() && SendRequest(request))
    RequestEdit->clear();
}

void TDemoWindow::SetButtonClick() {
  RequestEdit->setText(SetTemplate);
  RequestEdit->setSelection(SetArgumentsStart, SetTemplate.size() - SetArgumentsStart);
  RequestEdit->setFocus();
}

bool TDemoWindow::SendRequest(const QString &request) {
  const bool sent = FClient->SendRequest(request);
  AppendText(sent ? QStringLiteral("> %1\n").arg(request)
                  : QStringLiteral("! Запрос не отправлен: нет связи с мостом\n"));
  return sent;
}

void TDemoWindow::ShowConnected(bool connected) {
  const QString address = QStringLiteral("127.0.0.1:%1").arg(FClient->Port());
  StateLabel->setText(connected ? QStringLiteral("Подключено к мосту %1").arg(address)
                                : QStringLiteral("Ожидание моста %1…").arg(address));
  for (QPushButton *button : FRequestButtons)
    button->setEnabled(connected);
}

// Answers may arrive in pieces: they are appended as they come, line breaks
// taken from the device's CR LF.
void TDemoWindow::AppendAnswer(const QByteArray &bytes) {
  QString text = QString::fromLocal8Bit(bytes);
  text.remove(u'\r');
  AppendText(text);
}

void TDemoWindow::AppendText(const QString &text) {
  AnswersView->moveCursor(QTextCursor::End);
  AnswersView->insertPlainText(text);
  AnswersView->ensureCursorVisible();
}
