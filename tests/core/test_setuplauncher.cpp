#include "core/SetupLauncher.h"
#include "core/Teardown.h"
#include "platform/PrivateTempFolder.h"

#include "support/BridgeTestSupport.h"

#include <QDir>
#include <QScopeGuard>
#include <QFile>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray SleepingProgram = "echo \"fresh $0\" > started.txt\nexec sleep 30\n";
// Says that it was asked to end, and ends (quietly: its shell would report
// the killed sleep).
const QByteArray EndsOnTerm = "exec 2>/dev/null\ntrap 'echo term > ended.txt; exit 0' TERM\n"
                              "echo \"fresh $0\" > started.txt\n"
                              "while :; do sleep 1; done\n";
// Only SIGKILL ends it: the sleep it becomes keeps SIGTERM ignored.
const QByteArray IgnoresTerm = "trap '' TERM\necho \"fresh $0\" > started.txt\nexec sleep 30\n";

void WriteFile(const QString &path, const QByteArray &contents,
               QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner) {
  QFile file(path);
  QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
  QCOMPARE(file.write(contents), contents.size());
  file.close();
  QVERIFY(file.setPermissions(permissions));
}

void WriteScript(const QString &path, const QByteArray &body) {
  WriteFile(path, "#!/bin/sh\n" + body, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void MakeFolder(const QString &path, mode_t mode) {
  QVERIFY(QDir().mkpath(path));
  QCOMPARE(chmod(QFile::encodeName(path).constData(), mode), 0);
}

mode_t ModeOf(const QString &path) {
  struct stat info {};
  if (lstat(QFile::encodeName(path).constData(), &info) != 0)
    return 0;
  return info.st_mode & 07777;
}

QStringList FolderEntries(const QString &path) {
  return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// A stand-in wine: records how it was started, starts a stand-in "Windows
// process" of the program in a session of its own (as wine's may outlive its
// loader), and waits.
const QByteArray FakeWine =
    "{ echo \"count=$#\"; echo \"args=$*\"; echo \"pwd=$(pwd)\"; echo \"WINEDEBUG=${WINEDEBUG-unset}\"; } > wine.tmp\n"
    "setsid perl -e 'sleep 60' \"$1\" </dev/null >/dev/null 2>&1 &\n"
    "echo $! >> wine.tmp && mv wine.tmp wine.txt\n"
    "exec sleep 60\n";

// Running, not gone and not a zombie.
bool IsLive(qint64 pid) {
  QFile stat(QString("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly))
    return false;
  const QByteArray text = stat.readAll();
  const qsizetype nameEnd = text.lastIndexOf(')');
  return nameEnd > 0 && text.size() > nameEnd + 2 && text[nameEnd + 2] != 'Z' && text[nameEnd + 2] != 'X';
}

enum class TFault { NoSetupIni, SetupIniIsFolder, UnreadableSetupIni, NoPrivateFolder };

} // namespace

Q_DECLARE_METATYPE(TFault)

class TestSetupLauncher : public QObject {
  Q_OBJECT

private slots:
  void initTestCase();
  void init();
  void cleanup();

  void deviceKey_data();
  void deviceKey();
  void lookup_data();
  void lookup();
  void listedAndUnlisted();
  void privateFolder_data();
  void privateFolder();

  void startsFreshCopyAndStopsIt();
  void stopLeavesTheWaitToTheTeardown_data();
  void stopLeavesTheWaitToTheTeardown();
  void replacesACopyAnEarlierRunLeft();
  void deletesOnlyTheCopyItMade();
  void tellsOnceThatTheProgramEnded_data();
  void tellsOnceThatTheProgramEnded();
  void values_data();
  void values();
  void refusals_data();
  void refusals();
  void startsAWindowsProgramThroughWine_data();
  void startsAWindowsProgramThroughWine();
  void windowsProgramWithoutWineIsRefused_data();
  void windowsProgramWithoutWineIsRefused();

private:
  QString ExeDir() const { return FBase->filePath("exe"); }
  QString RuntimeDir() const { return FBase->filePath("run"); }
  QString FallbackDir() const { return FBase->filePath("tmp/tandrel-" + QString::number(geteuid())); }
  QString PrivateDir() const { return RuntimeDir() + "/tandrel"; }
  QString StartedText() const;
  // A launcher whose log lines go to FLog and whose stops go to FTeardown.
  std::unique_ptr<TSetupLauncher> NewLauncher();
  // Stops the launcher's program and waits until the teardown has ended it
  // and deleted its copy; false when that does not happen in time.
  bool StopAndWait(TSetupLauncher &launcher);

  // The tests point TMPDIR into their own folder, so remember the real one.
  QString FSystemTemp;
  QByteArray FPath;
  std::unique_ptr<QTemporaryDir> FBase;
  std::unique_ptr<TTeardown> FTeardown;
  QStringList FLog;
};

void TestSetupLauncher::initTestCase() {
  FSystemTemp = QDir::tempPath();
  FPath = qgetenv("PATH");
}

void TestSetupLauncher::init() {
  FBase = std::make_unique<QTemporaryDir>(FSystemTemp + "/setuplauncher-XXXXXX");
  QVERIFY(FBase->isValid());
  for (const char *folder : {"exe", "run", "tmp"})
    MakeFolder(FBase->filePath(folder), 0700);
  qputenv("XDG_RUNTIME_DIR", QFile::encodeName(RuntimeDir()));
  qputenv("TMPDIR", QFile::encodeName(FBase->filePath("tmp")));
  FTeardown = std::make_unique<TTeardown>(SystemClock());
}

void TestSetupLauncher::cleanup() {
  qputenv("PATH", FPath);
  qunsetenv("TANDREL_WINE");
  qunsetenv("WINEDEBUG");
  // Finishes the stops still running before their folders go.
  FTeardown.reset();
  FBase.reset();
  FLog.clear();
}

std::unique_ptr<TSetupLauncher> TestSetupLauncher::NewLauncher() {
  return std::make_unique<TSetupLauncher>(ExeDir(), *FTeardown, [this](const QString &line) { FLog.append(line); });
}

bool TestSetupLauncher::StopAndWait(TSetupLauncher &launcher) {
  const bool started = launcher.SetupIsStarted();
  QSignalSpy done(FTeardown.get(), &TTeardown::Done);
  launcher.StopSetupProgram();
  // Done is queued to this thread, so it cannot have come before the wait.
  return started ? done.wait(15000) : !FTeardown->Busy();
}

// What the sleeping program wrote into its working folder when it started.
QString TestSetupLauncher::StartedText() const {
  QFile file(ExeDir() + "/started.txt");
  return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()).trimmed() : QString();
}

void TestSetupLauncher::deviceKey_data() {
  QTest::addColumn<QByteArray>("reply");
  QTest::addColumn<QString>("key");
  QTest::addColumn<bool>("isNull");

  QTest::newRow("plain item") << QByteArray("+VER_INFO=1,ABC.12,7\r\nOK\r\n") << "ABC" << false;
  QTest::newRow("quoted item") << QByteArray("+VER_INFO=\"1\",\"ABC.12\",7\r\nOK\r\n") << "ABC" << false;
  QTest::newRow("quotes inside the item") << QByteArray("1,A\"B\"C.1") << "ABC" << false;
  QTest::newRow("blanks before the item") << QByteArray("1,\t \r\nABC.12 x") << "ABC" << false;
  QTest::newRow("item ends at a blank") << QByteArray("1,ABC.12 DEF.3") << "ABC" << false;
  QTest::newRow("item ends at CR") << QByteArray("1,XY.7\r\nOK\r\n") << "XY" << false;
  QTest::newRow("several full stops") << QByteArray("1,A.B.C") << "A" << false;
  QTest::newRow("no comma") << QByteArray("  ABC.12 x") << "ABC" << false;
  QTest::newRow("local 8-bit text") << QByteArray("1,Прибор.2") << "Прибор" << false;
  QTest::newRow("no full stop") << QByteArray("1,ABC,x") << "" << false;
  QTest::newRow("comma follows at once") << QByteArray("1,,ABC.1") << "" << false;
  QTest::newRow("full stop first") << QByteArray("1,.5") << "" << false;
  QTest::newRow("only blanks after the comma") << QByteArray("1, \r\n\t") << "" << true;
  QTest::newRow("nothing after the comma") << QByteArray("+VER_INFO=1,") << "" << true;
  QTest::newRow("empty reply") << QByteArray() << "" << true;
}

void TestSetupLauncher::deviceKey() {
  QFETCH(QByteArray, reply);
  QFETCH(QString, key);
  QFETCH(bool, isNull);
  const QString actual = DeviceKeyFromVerInfo(reply);
  QCOMPARE(actual, key);
  QCOMPARE(actual.isNull(), isNull);
}

void TestSetupLauncher::lookup_data() {
  QTest::addColumn<QByteArray>("ini");
  QTest::addColumn<QString>("key");
  QTest::addColumn<QString>("value");

  QTest::newRow("exact name") << QByteArray("ABC=prog") << "ABC" << "prog";
  QTest::newRow("letter case ignored") << QByteArray("abc=prog") << "ABC" << "prog";
  QTest::newRow("Cyrillic case ignored") << QByteArray("прибор=p") << "ПРИБОР" << "p";
  QTest::newRow("blanks around '=' are trimmed") << QByteArray("ABC = x\nABC=y") << "ABC" << "x";
  QTest::newRow("blanks and tabs at the ends") << QByteArray(" \tABC\t= prog \t\r\n") << "ABC" << "prog";
  QTest::newRow("a key's no-break space stays") << QByteArray("\xC2\xA0" "ABC=prog") << "\u00A0ABC" << "prog";
  QTest::newRow("inner blanks and '=' stay") << QByteArray("ABC= a b=c ") << "ABC" << "a b=c";
  QTest::newRow("sections and comments") << QByteArray("[Devices]\n; ABC\nABC=prog\n") << "ABC" << "prog";
  QTest::newRow("first match wins") << QByteArray("ABC=one\nabc=two") << "ABC" << "one";
  QTest::newRow("CR LF") << QByteArray("X=1\r\nABC=prog\r\nY=2") << "ABC" << "prog";
  QTest::newRow("CR") << QByteArray("X=1\rABC=prog\rY=2") << "ABC" << "prog";
  QTest::newRow("LF") << QByteArray("X=1\nABC=prog\nY=2") << "ABC" << "prog";
  QTest::newRow("UTF-8 BOM") << QByteArray("\xEF\xBB\xBF" "ABC=программа") << "ABC" << "программа";
  QTest::newRow("UTF-16 LE BOM") << QByteArray("\xFF\xFE" "A\0B\0C\0=\0\x3F\x04\r\0\n\0", 16) << "ABC"
                                 << "п";
  QTest::newRow("UTF-16 BE BOM") << QByteArray("\xFE\xFF\0A\0B\0C\0=\x04\x3F", 12) << "ABC" << "п";
  QTest::newRow("empty key matches a leading '='") << QByteArray("ABC=x\n=prog") << "" << "prog";
  QTest::newRow("null key matches nothing") << QByteArray("=prog") << QString() << "";
  QTest::newRow("no match") << QByteArray("XYZ=prog") << "ABC" << "";
}

void TestSetupLauncher::lookup() {
  QFETCH(QByteArray, ini);
  QFETCH(QString, key);
  QFETCH(QString, value);
  QCOMPARE(LookupSetupIni(ini, key), value);
}

void TestSetupLauncher::listedAndUnlisted() {
  // A listed device with no program is told apart from an unlisted one.
  QVERIFY(!LookupSetupIni("ABC=  \n", "ABC").isNull());
  QVERIFY(LookupSetupIni("XYZ=prog\n", "ABC").isNull());
}

void TestSetupLauncher::privateFolder_data() {
  QTest::addColumn<int>("runtimeMode"); // 0: XDG_RUNTIME_DIR unset
  QTest::addColumn<QString>("planted");
  QTest::addColumn<bool>("inRuntimeDir");
  QTest::addColumn<bool>("usable");

  QTest::newRow("runtime folder") << 0700 << "" << true << true;
  QTest::newRow("runtime folder open to others") << 0755 << "" << false << true;
  QTest::newRow("no runtime folder") << 0 << "" << false << true;
  QTest::newRow("symlink in the runtime folder") << 0700 << "symlink" << true << false;
  QTest::newRow("symlink in the temp folder") << 0 << "symlink" << false << false;
  QTest::newRow("group-writable folder in the temp folder") << 0 << "group-writable" << false << false;
}

void TestSetupLauncher::privateFolder() {
  QFETCH(int, runtimeMode);
  QFETCH(QString, planted);
  QFETCH(bool, inRuntimeDir);
  QFETCH(bool, usable);

  if (runtimeMode == 0)
    qunsetenv("XDG_RUNTIME_DIR");
  else
    MakeFolder(RuntimeDir(), runtimeMode);
  const QString expected = inRuntimeDir ? PrivateDir() : FallbackDir();
  if (planted == "symlink") {
    MakeFolder(FBase->filePath("elsewhere"), 0700);
    QVERIFY(QFile::link(FBase->filePath("elsewhere"), expected));
  } else if (planted == "group-writable") {
    MakeFolder(expected, 0770);
  }

  std::string error;
  const std::string folder = PrivateTempFolder(&error);
  if (usable) {
    QCOMPARE(QString::fromStdString(folder), expected);
    QCOMPARE(ModeOf(expected), mode_t(0700));
  } else {
    QVERIFY(folder.empty());
    QVERIFY(!error.empty());
  }
}

void TestSetupLauncher::startsFreshCopyAndStopsIt() {
  WriteScript(ExeDir() + "/prog", SleepingProgram);
  WriteFile(ExeDir() + "/setup.ini", "[Devices]\r\nABC=prog\r\n");
  const auto launcher = NewLauncher();

  const TSetupStart start = launcher->StartSetupProgram("+VER_INFO=1,\"ABC.12\",7\r\nOK\r\n");
  QVERIFY(launcher->SetupIsStarted());
  QVERIFY(start.box.isEmpty());
  QVERIFY(start.refusal.isEmpty());
  const QString copy = PrivateDir() + "/prog.exe";
  QCOMPARE(launcher->SetupFile(), copy);
  // Started as the copy, in the executable's folder.
  QTRY_COMPARE_WITH_TIMEOUT(StartedText(), "fresh " + copy, 10000);
  const qint64 pid = launcher->SetupProcessId();
  QVERIFY(pid > 0);

  // A start while one runs does nothing.
  WriteFile(ExeDir() + "/setup.ini", "XYZ=other\n");
  const TSetupStart again = launcher->StartSetupProgram("1,XYZ.1");
  QVERIFY(again.box.isEmpty() && again.refusal.isEmpty());
  QCOMPARE(launcher->SetupProcessId(), pid);
  QCOMPARE(launcher->SetupFile(), copy);

  QVERIFY(StopAndWait(*launcher));
  QVERIFY(!launcher->SetupIsStarted());
  QCOMPARE(launcher->SetupProcessId(), qint64(-1));
  QVERIFY(!QFileInfo::exists(QString("/proc/%1").arg(pid)));
  QVERIFY(!QFileInfo::exists(copy));
  // Stopped by the wizard: no end to tell.
  QCOMPARE(FLog, QStringList());

  // A second stop has nothing to hand over.
  QVERIFY(StopAndWait(*launcher));
  QVERIFY(!launcher->SetupIsStarted());
}

void TestSetupLauncher::stopLeavesTheWaitToTheTeardown_data() {
  QTest::addColumn<QByteArray>("program");
  QTest::addColumn<bool>("obeysTerm");
  QTest::newRow("ends on SIGTERM") << EndsOnTerm << true;
  QTest::newRow("ignores SIGTERM") << IgnoresTerm << false;
}

// The stop hands the program to the teardown and returns: with the worker
// held busy the program still runs and its copy is still there when the call
// is back, and the launcher can start again at once. Once the teardown is
// done the program has ended (asked with SIGTERM first, killed when it did
// not obey), the old copy is deleted, and the new start is left alone.
void TestSetupLauncher::stopLeavesTheWaitToTheTeardown() {
  QFETCH(QByteArray, program);
  QFETCH(bool, obeysTerm);
  WriteScript(ExeDir() + "/prog", program);
  WriteFile(ExeDir() + "/setup.ini", "ABC=prog\n");
  const auto launcher = NewLauncher();
  launcher->StartSetupProgram("1,ABC.1");
  QVERIFY(launcher->SetupIsStarted());
  const QString copy = launcher->SetupFile();
  // The program has set up its signal handling once it has said it started.
  QTRY_COMPARE_WITH_TIMEOUT(StartedText(), "fresh " + copy, 10000);
  const qint64 pid = launcher->SetupProcessId();

  // Holds the worker until released; released in any case, so the teardown
  // can finish when the test ends early.
  const auto gate = std::make_shared<QSemaphore>();
  const auto openGate = qScopeGuard([gate] { gate->release(); });
  FTeardown->Run([gate] { gate->acquire(); });
  QSignalSpy done(FTeardown.get(), &TTeardown::Done);
  launcher->StopSetupProgram();
  QVERIFY(IsLive(pid));
  QVERIFY(QFileInfo::exists(copy));
  QVERIFY(!launcher->SetupIsStarted());
  QCOMPARE(launcher->SetupProcessId(), qint64(-1));

  QVERIFY(QFile::remove(ExeDir() + "/started.txt"));
  WriteScript(ExeDir() + "/prog", SleepingProgram);
  launcher->StartSetupProgram("1,ABC.1");
  QVERIFY(launcher->SetupIsStarted());
  QCOMPARE(launcher->SetupFile(), copy);
  const qint64 next = launcher->SetupProcessId();
  QVERIFY(next > 0 && next != pid);
  QTRY_COMPARE_WITH_TIMEOUT(StartedText(), "fresh " + copy, 10000);

  gate->release();
  QVERIFY(done.wait(15000));
  QVERIFY(!QFileInfo::exists(QString("/proc/%1").arg(pid)));
  QCOMPARE(QFileInfo::exists(ExeDir() + "/ended.txt"), obeysTerm);
  QVERIFY(IsLive(next));
  QVERIFY(QFileInfo::exists(copy));

  QVERIFY(StopAndWait(*launcher));
  QVERIFY(!IsLive(next));
  QVERIFY(!QFileInfo::exists(copy));
  QCOMPARE(FLog, QStringList());
}

// A copy left by a killed wizard is an older version after an update: it is
// replaced, not started.
void TestSetupLauncher::replacesACopyAnEarlierRunLeft() {
  WriteScript(ExeDir() + "/prog", SleepingProgram);
  WriteFile(ExeDir() + "/setup.ini", "ABC=prog\n");
  MakeFolder(PrivateDir(), 0700);
  const QString copy = PrivateDir() + "/prog.exe";
  WriteScript(copy, "echo \"stale $0\" > started.txt\nexec sleep 30\n");
  const auto launcher = NewLauncher();

  launcher->StartSetupProgram("1,ABC.1");
  QVERIFY(launcher->SetupIsStarted());
  QTRY_COMPARE_WITH_TIMEOUT(StartedText(), "fresh " + copy, 10000);
  QCOMPARE(FolderEntries(PrivateDir()), QStringList{"prog.exe"});
  QVERIFY(StopAndWait(*launcher));
  QVERIFY(!QFileInfo::exists(copy));
}

// Another wizard of the same user may have put its own copy in the place of
// ours meanwhile: that file is not ours to delete.
void TestSetupLauncher::deletesOnlyTheCopyItMade() {
  WriteScript(ExeDir() + "/prog", SleepingProgram);
  WriteFile(ExeDir() + "/setup.ini", "ABC=prog\n");
  const auto launcher = NewLauncher();
  launcher->StartSetupProgram("1,ABC.1");
  QVERIFY(launcher->SetupIsStarted());
  const QString copy = launcher->SetupFile();
  QVERIFY(QFile::remove(copy));
  WriteScript(copy, "exit 0\n");
  const qint64 pid = launcher->SetupProcessId();

  QVERIFY(StopAndWait(*launcher));
  QVERIFY(!launcher->SetupIsStarted());
  QVERIFY(!QFileInfo::exists(QString("/proc/%1").arg(pid)));
  QVERIFY(QFileInfo::exists(copy));
}

void TestSetupLauncher::tellsOnceThatTheProgramEnded_data() {
  QTest::addColumn<QByteArray>("program");
  QTest::addColumn<QString>("line");
  QTest::newRow("exits at once") << QByteArray("exit 0\n") << "Программа настройки завершилась: код 0";
  QTest::newRow("fails") << QByteArray("exit 3\n") << "Программа настройки завершилась: код 3";
  QTest::newRow("killed") << QByteArray("kill -KILL $$\n") << "Программа настройки завершилась: сигнал 9";
}

void TestSetupLauncher::tellsOnceThatTheProgramEnded() {
  QFETCH(QByteArray, program);
  QFETCH(QString, line);
  WriteScript(ExeDir() + "/prog", program);
  WriteFile(ExeDir() + "/setup.ini", "ABC=prog\n");
  const auto launcher = NewLauncher();

  launcher->StartSetupProgram("1,ABC.1");
  QVERIFY(launcher->SetupIsStarted());
  const qint64 pid = launcher->SetupProcessId();
  QTRY_COMPARE_WITH_TIMEOUT(FLog, QStringList{line}, 10000);
  // Not watched further: it counts as started until stopped, and the stop
  // does not tell it again.
  QVERIFY(launcher->SetupIsStarted());
  QVERIFY(StopAndWait(*launcher));
  QCOMPARE(FLog, QStringList{line});
  QVERIFY(!QFileInfo::exists(QString("/proc/%1").arg(pid)));
  QVERIFY(!QFileInfo::exists(PrivateDir() + "/prog.exe"));
}

// What a setup.ini value starts, and what the log says when it starts
// nothing. Whatever happens, the program's folder keeps all its files.
void TestSetupLauncher::values_data() {
  QTest::addColumn<QByteArray>("ini");
  QTest::addColumn<QByteArray>("reply");
  QTest::addColumn<QString>("copy");   // the started copy, empty when none
  QTest::addColumn<QString>("logged"); // the reason, when none

  const QByteArray abc = "1,ABC.12";
  QTest::newRow("listed device") << QByteArray("ABC=prog") << abc << "prog.exe" << "";
  QTest::newRow("blanks around '='") << QByteArray("ABC = prog \r\n") << abc << "prog.exe" << "";
  QTest::newRow("value ending in .exe") << QByteArray("ABC=prog.exe") << abc << "prog.exe.exe" << "";
  QTest::newRow("empty key, line starting with '='") << QByteArray("=prog") << QByteArray("1,ABC,2") << "prog.exe"
                                                     << "";
  QTest::newRow("no key") << QByteArray("=prog") << QByteArray("1, \r\n") << ""
                          << "В setup.ini нет программы настройки для прибора \"\"";
  QTest::newRow("unlisted device") << QByteArray("XYZ=prog") << abc << ""
                                   << "В setup.ini нет программы настройки для прибора \"ABC\"";
  QTest::newRow("empty value") << QByteArray("ABC=") << abc << ""
                               << "Программа настройки \"\" для прибора \"ABC\" в setup.ini не принята: имя пусто";
  QTest::newRow("blank value") << QByteArray("ABC= \t ") << abc << ""
                               << "Программа настройки \"\" для прибора \"ABC\" в setup.ini не принята: имя пусто";
  // %EXE% stands for the program's folder, %PRIVATE% for the private one.
  const QString climbing = "../../../../../../../../../..%EXE%/victim";
  QTest::newRow("climbing out to a file of the program's folder")
      << "ABC=" + climbing.toUtf8() << abc << ""
      << "Программа настройки \"" + climbing +
             "\" для прибора \"ABC\" в setup.ini не принята: в имени есть разделитель пути \"/\"";
  QTest::newRow("subfolder") << QByteArray("ABC=sub/prog") << abc << ""
                             << "Программа настройки \"sub/prog\" для прибора \"ABC\" в setup.ini не принята: в "
                                "имени есть разделитель пути \"/\"";
  QTest::newRow("backslash") << QByteArray("ABC=sub\\prog") << abc << ""
                             << "Программа настройки \"sub\\prog\" для прибора \"ABC\" в setup.ini не принята: в "
                                "имени есть разделитель пути \"\\\"";
  QTest::newRow("drive") << QByteArray("ABC=c:prog") << abc << ""
                         << "Программа настройки \"c:prog\" для прибора \"ABC\" в setup.ini не принята: в имени "
                            "есть разделитель пути \":\"";
  QTest::newRow("parent folder") << QByteArray("ABC=..") << abc << ""
                                 << "Программа настройки \"..\" для прибора \"ABC\" в setup.ini не принята: в "
                                    "имени есть \"..\"";
  QTest::newRow("missing program") << QByteArray("ABC=gone") << abc << ""
                                   << "Программа настройки не найдена: %EXE%/gone";
  QTest::newRow("a folder, not a program") << QByteArray("ABC=sub") << abc << ""
                                           << "Программа настройки не найдена: %EXE%/sub";
  QTest::newRow("program not executable")
      << QByteArray("ABC=noexec") << abc << ""
      << "Не удалось запустить программу настройки %PRIVATE%/noexec.exe: Permission denied";
  // Not a Windows program either, so not one for wine.
  QTest::newRow("MZ without a PE signature, not executable")
      << QByteArray("ABC=dosonly") << abc << ""
      << "Не удалось запустить программу настройки %PRIVATE%/dosonly.exe: Permission denied";
}

void TestSetupLauncher::values() {
  QFETCH(QByteArray, ini);
  QFETCH(QByteArray, reply);
  QFETCH(QString, copy);
  QFETCH(QString, logged);
  const auto inPlace = [this](QString text) {
    return text.replace("%EXE%", ExeDir()).replace("%PRIVATE%", PrivateDir());
  };
  ini = inPlace(QString::fromUtf8(ini)).toUtf8();
  logged = inPlace(logged);
  WriteScript(ExeDir() + "/prog", SleepingProgram);
  WriteScript(ExeDir() + "/prog.exe", SleepingProgram);
  WriteScript(ExeDir() + "/victim", SleepingProgram);
  WriteScript(ExeDir() + "/victim.exe", SleepingProgram);
  MakeFolder(ExeDir() + "/sub", 0700);
  WriteScript(ExeDir() + "/sub/prog", SleepingProgram);
  WriteFile(ExeDir() + "/noexec", SleepingProgram);
  WriteFile(ExeDir() + "/dosonly", MinimalPeImage().replace("PE", "NE"));
  WriteFile(ExeDir() + "/setup.ini", ini);
  const QStringList programFolder = FolderEntries(ExeDir());
  const auto launcher = NewLauncher();

  const TSetupStart start = launcher->StartSetupProgram(reply);
  const bool started = !copy.isEmpty();
  QCOMPARE(launcher->SetupIsStarted(), started);
  QCOMPARE(launcher->SetupProcessId() > 0, started);
  QCOMPARE(FolderEntries(PrivateDir()), started ? QStringList{copy} : QStringList{});
  QCOMPARE(FLog, started ? QStringList{} : QStringList{logged});
  if (started)
    QCOMPARE(launcher->SetupFile(), PrivateDir() + "/" + copy);
  // Said in the log only: nothing for the caller to show.
  QCOMPARE(start.box, QString());
  QCOMPARE(start.refusal, QString());

  QVERIFY(StopAndWait(*launcher));
  QVERIFY(FolderEntries(PrivateDir()).isEmpty());
  QStringList afterwards = FolderEntries(ExeDir());
  afterwards.removeOne("started.txt");
  QCOMPARE(afterwards, programFolder);
}

void TestSetupLauncher::refusals_data() {
  QTest::addColumn<TFault>("fault");
  QTest::addColumn<QString>("message");

  QTest::newRow("no setup.ini") << TFault::NoSetupIni << "Оболочка не запущена, не найден файл настроек";
  QTest::newRow("setup.ini is a folder") << TFault::SetupIniIsFolder
                                         << "Оболочка не запущена, не найден файл настроек";
  QTest::newRow("unreadable setup.ini") << TFault::UnreadableSetupIni
                                        << "Оболочка не запущена, не удалось прочитать файл настроек: ";
  QTest::newRow("no private folder") << TFault::NoPrivateFolder << "Оболочка не запущена, системная ошибка";
}

void TestSetupLauncher::refusals() {
  QFETCH(TFault, fault);
  QFETCH(QString, message);
  WriteScript(ExeDir() + "/prog", SleepingProgram);
  const QString ini = ExeDir() + "/setup.ini";
  switch (fault) {
  case TFault::NoSetupIni:
    break;
  case TFault::SetupIniIsFolder:
    MakeFolder(ini, 0700);
    break;
  case TFault::UnreadableSetupIni:
    // Opens as a regular file but every read fails, even for root.
    QVERIFY(QFile::link("/proc/self/mem", ini));
    break;
  case TFault::NoPrivateFolder:
    WriteFile(ini, "ABC=prog\n");
    qunsetenv("XDG_RUNTIME_DIR");
    QVERIFY(QFile::link(ExeDir(), FallbackDir()));
    break;
  }
  const auto launcher = NewLauncher();

  const TSetupStart start = launcher->StartSetupProgram("1,ABC.1");
  QVERIFY(!launcher->SetupIsStarted());
  QVERIFY2(start.box.startsWith(message), qPrintable(start.box));
  QCOMPARE(start.refusal, QString());
  QVERIFY(FolderEntries(PrivateDir()).isEmpty());
  // Only a missing private folder has a reason of its own for the log.
  if (fault == TFault::NoPrivateFolder) {
    QCOMPARE(FLog.size(), 1);
    QVERIFY2(FLog.first().startsWith("Нет личной временной папки: "), qPrintable(FLog.first()));
  } else {
    QCOMPARE(FLog, QStringList());
  }
}

void TestSetupLauncher::startsAWindowsProgramThroughWine_data() {
  QTest::addColumn<bool>("onPath");     // else named by TANDREL_WINE
  QTest::addColumn<QString>("debug");   // the user's WINEDEBUG, null for none
  QTest::addColumn<QString>("expected"); // what wine gets
  QTest::newRow("named by TANDREL_WINE") << false << QString() << "-all";
  QTest::newRow("on PATH, the user's WINEDEBUG") << true << "warn+all" << "warn+all";
}

// wine gets the copy as its one argument in the program's folder; the stop
// ends what wine left running for the copy, outside the process group too.
void TestSetupLauncher::startsAWindowsProgramThroughWine() {
  QFETCH(bool, onPath);
  QFETCH(QString, debug);
  QFETCH(QString, expected);
  MakeFolder(FBase->filePath("bin"), 0700);
  const QString wine = FBase->filePath("bin/wine");
  WriteScript(wine, FakeWine);
  if (onPath)
    qputenv("PATH", QFile::encodeName(FBase->filePath("bin")) + ':' + FPath);
  else
    qputenv("TANDREL_WINE", QFile::encodeName(wine));
  if (!debug.isNull())
    qputenv("WINEDEBUG", debug.toUtf8());
  // Windows programs need no execute permission.
  WriteFile(ExeDir() + "/winprog", MinimalPeImage());
  WriteFile(ExeDir() + "/setup.ini", "ABC=winprog\n");
  const auto launcher = NewLauncher();

  const TSetupStart start = launcher->StartSetupProgram("1,ABC.1");
  QVERIFY(launcher->SetupIsStarted());
  QVERIFY(start.box.isEmpty() && start.refusal.isEmpty());
  const QString copy = PrivateDir() + "/winprog.exe";
  QCOMPARE(launcher->SetupFile(), copy);
  QCOMPARE(FLog, QStringList{"Программа настройки запущена через wine: " + wine});
  QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(ExeDir() + "/wine.txt"), 10000);
  QFile record(ExeDir() + "/wine.txt");
  QVERIFY(record.open(QIODevice::ReadOnly));
  const QStringList lines = QString::fromUtf8(record.readAll()).trimmed().split('\n');
  QCOMPARE(lines.mid(0, 4), (QStringList{"count=1", "args=" + copy, "pwd=" + ExeDir(), "WINEDEBUG=" + expected}));
  const qint64 windowsProcess = lines.value(4).toLongLong();
  QVERIFY(IsLive(windowsProcess));
  // Should the stop fail, the stand-in still ends with the test.
  const auto endStandIn = qScopeGuard([windowsProcess] {
    if (IsLive(windowsProcess))
      ::kill(pid_t(windowsProcess), SIGKILL);
  });
  const qint64 wineProcess = launcher->SetupProcessId();

  QVERIFY(StopAndWait(*launcher));
  QVERIFY(!IsLive(windowsProcess));
  QVERIFY(!IsLive(wineProcess));
  QVERIFY(!QFileInfo::exists(copy));
}

void TestSetupLauncher::windowsProgramWithoutWineIsRefused_data() {
  QTest::addColumn<QString>("named"); // TANDREL_WINE, null for unset
  QTest::newRow("none on PATH") << QString();
  QTest::newRow("TANDREL_WINE names a missing file") << "%BASE%/missing/wine";
  QTest::newRow("TANDREL_WINE names a file that cannot run") << "%BASE%/exe/setup.ini";
  QTest::newRow("TANDREL_WINE names nothing on PATH") << "no-such-wine";
}

// The caller shows the reason; nothing is started or left behind.
void TestSetupLauncher::windowsProgramWithoutWineIsRefused() {
  QFETCH(QString, named);
  qputenv("PATH", QFile::encodeName(ExeDir()));
  if (!named.isNull())
    qputenv("TANDREL_WINE", QFile::encodeName(named.replace("%BASE%", FBase->path())));
  WriteFile(ExeDir() + "/winprog", MinimalPeImage());
  WriteFile(ExeDir() + "/setup.ini", "ABC=winprog\n");
  const auto launcher = NewLauncher();

  const TSetupStart refused = launcher->StartSetupProgram("1,ABC.1");
  QVERIFY(!launcher->SetupIsStarted());
  QCOMPARE(refused.refusal,
           QString("Программа настройки — программа для Windows; для её запуска установите wine (пакет wine)."));
  QCOMPARE(refused.box, QString());
  QCOMPARE(FLog, QStringList());
  QVERIFY(FolderEntries(PrivateDir()).isEmpty());

  // The next start that succeeds has no refusal.
  WriteScript(ExeDir() + "/winprog", SleepingProgram);
  const TSetupStart started = launcher->StartSetupProgram("1,ABC.1");
  QVERIFY(launcher->SetupIsStarted());
  QVERIFY(started.refusal.isEmpty());
  QVERIFY(StopAndWait(*launcher));
}

QTEST_GUILESS_MAIN(TestSetupLauncher)
#include "test_setuplauncher.moc"
