// Where setup.ini and the setup programs are looked up: beside the executable,
// then in the XDG data folders.

#include "core/Session.h"
#include "core/SetupFolders.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using TVariables = QMap<QString, QString>;

class TestSetupFolders : public QObject {
  Q_OBJECT

private slots:
  void searchedFolders_data();
  void searchedFolders();
  void firstFolderWithSetupIniWins_data();
  void firstFolderWithSetupIniWins();
  void programUsesTheLookup();
};

void TestSetupFolders::searchedFolders_data() {
  QTest::addColumn<TVariables>("variables");
  QTest::addColumn<QStringList>("folders");

  const QStringList defaults{"/opt/wizard", "/home/u/.local/share/tandrel", "/usr/local/share/tandrel",
                             "/usr/share/tandrel"};
  QTest::newRow("defaults") << TVariables{{"HOME", "/home/u"}} << defaults;
  QTest::newRow("empty values are defaults")
      << TVariables{{"HOME", "/home/u"}, {"XDG_DATA_HOME", ""}, {"XDG_DATA_DIRS", ""}} << defaults;
  QTest::newRow("set values, in order")
      << TVariables{{"HOME", "/home/u"}, {"XDG_DATA_HOME", "/data/home/"}, {"XDG_DATA_DIRS", "/opt/b/share:/opt/a"}}
      << QStringList{"/opt/wizard", "/data/home/tandrel", "/opt/b/share/tandrel", "/opt/a/tandrel"};
  QTest::newRow("relative paths are ignored")
      << TVariables{{"HOME", "/home/u"}, {"XDG_DATA_HOME", "data"}, {"XDG_DATA_DIRS", "share::/opt/share"}}
      << QStringList{"/opt/wizard", "/home/u/.local/share/tandrel", "/opt/share/tandrel"};
  QTest::newRow("no home folder") << TVariables{{"XDG_DATA_DIRS", "/usr/share"}}
                                  << QStringList{"/opt/wizard", "/usr/share/tandrel"};
}

void TestSetupFolders::searchedFolders() {
  QFETCH(TVariables, variables);
  QFETCH(QStringList, folders);
  QProcessEnvironment environment;
  for (auto variable = variables.begin(); variable != variables.end(); ++variable)
    environment.insert(variable.key(), variable.value());
  QCOMPARE(SetupDataFolders("/opt/wizard/", environment), folders);
}

void TestSetupFolders::firstFolderWithSetupIniWins_data() {
  QTest::addColumn<QStringList>("holding");
  QTest::addColumn<QString>("found");
  QTest::newRow("beside the executable") << QStringList{"exe", "home", "first", "second"} << "exe";
  QTest::newRow("data home") << QStringList{"home", "first", "second"} << "home";
  QTest::newRow("first data dir") << QStringList{"first", "second"} << "first";
  QTest::newRow("second data dir") << QStringList{"second"} << "second";
  QTest::newRow("none: the executable's folder") << QStringList{} << "exe";
}

void TestSetupFolders::firstFolderWithSetupIniWins() {
  QFETCH(QStringList, holding);
  QFETCH(QString, found);
  QTemporaryDir root;
  QVERIFY(root.isValid());
  const QMap<QString, QString> folderOf{{"exe", root.filePath("bin")},
                                        {"home", root.filePath("home/tandrel")},
                                        {"first", root.filePath("first/tandrel")},
                                        {"second", root.filePath("second/tandrel")}};
  for (auto folder = folderOf.begin(); folder != folderOf.end(); ++folder) {
    const QString iniPath = folder.value() + "/setup.ini";
    QFile file(iniPath);
    if (holding.contains(folder.key()))
      QVERIFY(QDir().mkpath(folder.value()) && file.open(QIODevice::WriteOnly));
    else // a folder of that name is no settings file
      QVERIFY(QDir().mkpath(iniPath));
  }
  QProcessEnvironment environment;
  environment.insert("XDG_DATA_HOME", root.filePath("home"));
  environment.insert("XDG_DATA_DIRS", root.filePath("first") + ":" + root.filePath("second"));
  QCOMPARE(ResolveSetupFolder(SetupDataFolders(root.filePath("bin"), environment)), folderOf[found]);
}

void TestSetupFolders::programUsesTheLookup() {
  // The test program's own folder holds no setup.ini.
  QVERIFY(!QFile::exists(QCoreApplication::applicationDirPath() + "/setup.ini"));
  QTemporaryDir dataHome;
  QVERIFY(dataHome.isValid());
  QVERIFY(QDir(dataHome.path()).mkpath("tandrel"));
  QFile file(dataHome.filePath("tandrel/setup.ini"));
  QVERIFY(file.open(QIODevice::WriteOnly));
  qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
  const QString folder = TSessionEnvironment::FromSystem().setupFolder;
  qunsetenv("XDG_DATA_HOME");
  QCOMPARE(folder, dataHome.filePath("tandrel"));
}

QTEST_GUILESS_MAIN(TestSetupFolders)
#include "test_setupfolders.moc"
