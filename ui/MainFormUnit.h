#pragma once
// The wizard's main window: a view of the session. It shows the connection's
// state, status text and colour, and boxes, and passes the user's clicks and
// choices in; it keeps the user's choices between runs. Its methods are split
// over MainFormUnit.cpp (window, hot keys, start-up and close), PortList.cpp
// and Settings.cpp.

#include "core/Prompt.h"
#include "core/Session.h"
#include "serial/COMUtils.h"

#include <QWidget>

class QComboBox;
class QLabel;
class QToolButton;
class TCOMSettingsForm;
class TLOGForm;
class TLogModel;
class TTCPServerSettingsForm;
class TURLLabel;

class TMainTandrelForm : public QWidget {
  Q_OBJECT
public:
  // `portSystem` is where the port list comes from, `storePath` the per-user
  // settings.
  TMainTandrelForm(TSession &session, TLogModel &log, const TPortSystem &portSystem, const QString &storePath,
                   QWidget *parent = nullptr);
  ~TMainTandrelForm() override;

  // The other three windows, created after this one.
  void AttachWindows(TCOMSettingsForm *comSettings, TTCPServerSettingsForm *tcpSettings, TLOGForm *log);

  // Controls.
  QLabel *Label3;
  QComboBox *ConnectTypeComboBox;
  QLabel *Label4;
  QComboBox *PortsListComboBox;
  QToolButton *SpeedButton1;
  QLabel *Label5;
  QComboBox *PhoneNumber;
  TURLLabel *URLLabel1;
  QLabel *Label6;
  QLabel *Label7;

  TCOMSettingsForm *COMSettingsForm = nullptr;
  TTCPServerSettingsForm *TCPServerSettingsForm = nullptr;
  TLOGForm *LOGForm = nullptr;

  // Window, hot keys, start-up and close.
  void ConnectTypeComboBoxChange();
  // Returns whether the key opened a window; the key is never consumed.
  bool FormKeyDown(int key, Qt::KeyboardModifiers shift);
  void FormCreate();
  void FormClose();
  static QString GetFileVersionString();

  // The connect label's click: the session acts on the window's choices.
  void URLLabel1Click();

  // Port list.
  // The open list shows each port's description beside its path.
  static void ShowPortDescriptions(QComboBox *combo);
  void RefreshPortsList();
  static void SelectComboItem(QComboBox *combo, const QString &text);
  void SpeedButton1Click();

  // Settings.
  void LoadPhoneNumbers();
  void LoadSettings();
  void SaveSettings();

  TSession &Session() { return FSession; }

  // What the session tells the window to show.
  void ShowState(TConnectState state);
  void ShowStatus(const QString &text, bool error);
  void ShowInputs(const TInputs &inputs);
  void ShowPhoneHistory(const QStringList &numbers);

protected:
  bool eventFilter(QObject *watched, QEvent *event) override;
  void closeEvent(QCloseEvent *event) override;

private:
  void CreateControls();
  void ShowBox(const TPrompt &prompt);
  void RefreshPortsKeepingChoice();
  void LoadStored(void (TMainTandrelForm::*load)());
  void SetAsideBrokenSettings(const QString &error);

  TSession &FSession;
  TLogModel &FLog;
  TPortSystem FPortSystem;
  QString FStorePath;
  bool FBrokenSettingsReported = false;
};
