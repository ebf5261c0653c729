#include "MainFormFixture.h"

#include "LogEntries.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

TMainFormFixture::TMainFormFixture(TClock &clock, const QStringList &extraPorts, const QByteArray &storedSettings) {
  QDir(FFolder.path()).mkpath(QStringLiteral("sys/class/tty"));
  QDir(FFolder.path()).mkpath(QStringLiteral("exe"));
  if (!storedSettings.isEmpty()) {
    QDir().mkpath(QFileInfo(StorePath()).path());
    QFile store(StorePath());
    if (!store.open(QIODevice::WriteOnly) || store.write(storedSettings) != storedSettings.size())
      qFatal("cannot write the settings file %s", qPrintable(StorePath()));
  }
  TSessionEnvironment environment{&clock, TPortSystem{}, StorePath(), SetupFolder()};
  environment.portSystem.sysfsRoot = FFolder.filePath(QStringLiteral("sys")).toStdString();
  environment.portSystem.devRoot = FFolder.filePath(QStringLiteral("dev")).toStdString();
  environment.portSystem.extraPorts = extraPorts.join(QLatin1Char(':')).toStdString();
  session = std::make_unique<TSession>(environment, logModel, settings);
  form = std::make_unique<TMainTandrelForm>(*session, logModel, environment.portSystem, environment.storePath);
  comSettings = std::make_unique<TCOMSettingsForm>(settings);
  tcpSettings = std::make_unique<TTCPServerSettingsForm>(settings);
  log = std::make_unique<TLOGForm>(logModel);
  form->AttachWindows(comSettings.get(), tcpSettings.get(), log.get());
}

TMainFormFixture::~TMainFormFixture() {
  // The main window goes first: it may still refer to the others.
  form.reset();
}

QStringList TMainFormFixture::LogTexts() const { return EntriesAfterStamps(logModel.Entries()); }
