// The per-user settings key in its .reg file, and the phone history on top of it.

#include "core/PhoneHistory.h"
#include "core/RegStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>
#include <limits>
#include <memory>
#include <sys/resource.h>

using TStoredPhones = QMap<int, QString>;

namespace {

const QByteArray kKeyHead = "Windows Registry Editor Version 5.00\r\n\r\n"
                            "[HKEY_CURRENT_USER\\SOFTWARE\\Korvel\\Tandrel]\r\n";

QString RaisedText(const std::function<void()> &action)
{
  try {
    action();
  } catch (const TRegistryError &error) {
    return QString::fromUtf8(error.what());
  }
  return QStringLiteral("(nothing raised)");
}

QByteArray ReadBytes(const QString &path)
{
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// `text` as a file in UTF-16LE with its byte-order mark; lone surrogates stay.
QByteArray Utf16File(const QString &text)
{
  QByteArray utf16("\xff\xfe");
  for (const QChar c : text)
    utf16.append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
  return utf16;
}

void WriteBytes(const QString &path, const QByteArray &bytes)
{
  QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  QCOMPARE(file.write(bytes), bytes.size());
}

// Makes every file write beyond `bytes` fail with EFBIG, as a full disk would.
class TFileSizeLimit {
public:
  explicit TFileSizeLimit(rlim_t bytes)
  {
    getrlimit(RLIMIT_FSIZE, &FPrevious);
    FPreviousHandler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, FPrevious.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~TFileSizeLimit()
  {
    setrlimit(RLIMIT_FSIZE, &FPrevious);
    std::signal(SIGXFSZ, FPreviousHandler);
  }

private:
  rlimit FPrevious{};
  void (*FPreviousHandler)(int);
};

} // namespace

class TRegStoreTest : public QObject {
  Q_OBJECT

private slots:
  void init();

  void firstOpenCreatesEmptyKey();
  void valuesRoundTrip_data();
  void valuesRoundTrip();
  void readsValueKinds_data();
  void readsValueKinds();
  void readsUtf16FileAndRewritesItAsUtf8();
  void corruptFileIsReportedAndKept_data();
  void corruptFileIsReportedAndKept();
  void keyThatCannotBeCreated();
  void failedWriteKeepsPreviousFile();
  void otherContentIsKept_data();
  void otherContentIsKept();
  void defaultStorePath_data();
  void defaultStorePath();

  void phoneHistory_data();
  void phoneHistory();

private:
  std::unique_ptr<QTemporaryDir> FDir;
  QString FPath;
};

void TRegStoreTest::init()
{
  FDir = std::make_unique<QTemporaryDir>();
  QVERIFY(FDir->isValid());
  FPath = FDir->filePath(QStringLiteral("config/Korvel/Tandrel.reg"));
}

void TRegStoreTest::firstOpenCreatesEmptyKey()
{
  {
    const TRegistryKey key(FPath);
    QVERIFY(!key.ValueExists(QStringLiteral("COM")));
    QVERIFY(!key.ValueExists(QStringLiteral("CHANNEL")));
  }
  QCOMPARE(ReadBytes(FPath), kKeyHead + "\r\n");
  QCOMPARE(QFileInfo(QFileInfo(FPath).absolutePath()).permissions() & 0x0077, QFile::Permissions());
  QCOMPARE(LoadPhoneHistory(FPath), QStringList());
}

void TRegStoreTest::valuesRoundTrip_data()
{
  QTest::addColumn<QString>("name");
  QTest::addColumn<QVariant>("value");
  QTest::addColumn<QByteArray>("line");

  QTest::newRow("port") << "COM" << QVariant("/dev/ttyUSB0") << QByteArray(R"("COM"="/dev/ttyUSB0")");
  QTest::newRow("quotes and backslashes")
      << "COM" << QVariant(R"(say "hi" C:\dir\)") << QByteArray(R"("COM"="say \"hi\" C:\\dir\\")");
  QTest::newRow("escaped name") << R"(a"b\c)" << QVariant("x") << QByteArray(R"("a\"b\\c"="x")");
  QTest::newRow("cyrillic") << "COM" << QVariant("Порт №1") << QByteArray(R"("COM"="Порт №1")");
  QTest::newRow("empty text") << "COM" << QVariant("") << QByteArray(R"("COM"="")");
  // Not taken for byte-order marks, neither on writing nor on reading.
  QTest::newRow("leading U+FEFF") << "phone1" << QVariant(QStringLiteral("\uFEFF+7900"))
                                 << QByteArray("\"phone1\"=\"\xEF\xBB\xBF+7900\"");
  QTest::newRow("leading U+FFFE") << "phone1" << QVariant(QStringLiteral("\uFFFE12"))
                                 << QByteArray("\"phone1\"=\"\xEF\xBF\xBE" "12\"");
  QTest::newRow("line break goes to hex form")
      << "phone1" << QVariant("1\r\n2") << QByteArray(R"("phone1"=hex(1):31,00,0d,00,0a,00,32,00,00,00)");
  QTest::newRow("cable") << "CHANNEL" << QVariant(1) << QByteArray(R"("CHANNEL"=dword:00000001)");
  QTest::newRow("negative") << "CHANNEL" << QVariant(-1) << QByteArray(R"("CHANNEL"=dword:ffffffff)");
  QTest::newRow("minimum") << "CHANNEL" << QVariant(std::numeric_limits<int32_t>::min())
                           << QByteArray(R"("CHANNEL"=dword:80000000)");
}

void TRegStoreTest::valuesRoundTrip()
{
  QFETCH(QString, name);
  QFETCH(QVariant, value);
  QFETCH(QByteArray, line);
  const bool isInteger = value.typeId() == QMetaType::Int;

  {
    TRegistryKey key(FPath);
    if (isInteger)
      key.WriteInteger(name, value.toInt());
    else
      key.WriteString(name, value.toString());
  }
  QCOMPARE(ReadBytes(FPath), kKeyHead + line + "\r\n\r\n");

  const TRegistryKey key(FPath);
  QVERIFY(key.ValueExists(name));
  QCOMPARE(isInteger ? QVariant(key.ReadInteger(name)) : QVariant(key.ReadString(name)), value);
}

void TRegStoreTest::readsValueKinds_data()
{
  QTest::addColumn<QByteArray>("values");
  QTest::addColumn<QString>("name");
  QTest::addColumn<QVariant>("expected"); // a text, an integer, or the error text
  QTest::addColumn<bool>("asInteger");

  QTest::newRow("expand string is not expanded")
      << QByteArray(R"("COM"=hex(2):25,00,48,00,4f,00,4d,00,45,00,25,00,00,00)") << "COM" << QVariant("%HOME%")
      << false;
  QTest::newRow("string ends at its first NUL")
      << QByteArray(R"("COM"=hex(1):41,00,00,00,42,00,00,00)") << "COM" << QVariant("A") << false;
  QTest::newRow("string of size 0") << QByteArray(R"("COM"=hex(1):)") << "COM" << QVariant("") << false;
  QTest::newRow("hex continued on the next line")
      << QByteArray("\"COM\"=hex(2):41,00,\\\r\n  42,00,00,00") << "COM" << QVariant("AB") << false;
  QTest::newRow("names ignore case") << QByteArray(R"("com"="x")") << "COM" << QVariant("x") << false;
  QTest::newRow("last of two wins") << QByteArray("\"COM\"=\"a\"\r\n\"COM\"=\"b\"") << "COM" << QVariant("b")
                                    << false;
  QTest::newRow("dword in hex form") << QByteArray(R"("CHANNEL"=hex(4):02,01,00,00)") << "CHANNEL"
                                     << QVariant(258) << true;

  QTest::newRow("binary read as string")
      << QByteArray(R"("COM"=hex:41,00)") << "COM" << QVariant("Invalid data type for 'COM'") << false;
  QTest::newRow("dword read as string") << QByteArray(R"("CHANNEL"=dword:00000001)") << "CHANNEL"
                                        << QVariant("Invalid data type for 'CHANNEL'") << false;
  QTest::newRow("string read as integer")
      << QByteArray(R"("CHANNEL"="1")") << "CHANNEL" << QVariant("Invalid data type for 'CHANNEL'") << true;
  QTest::newRow("dword-sized binary read as integer")
      << QByteArray(R"("CHANNEL"=hex:01,00,00,00)") << "CHANNEL" << QVariant("Invalid data type for 'CHANNEL'") << true;
  // Data over four bytes does not fit the integer's buffer, whatever its type.
  QTest::newRow("qword read as integer") << QByteArray(R"("CHANNEL"=hex(b):01,00,00,00,00,00,00,00)")
                                         << "CHANNEL" << QVariant("Failed to get data for 'CHANNEL'") << true;
  QTest::newRow("long string read as integer")
      << QByteArray(R"("CHANNEL"="10")") << "CHANNEL" << QVariant("Failed to get data for 'CHANNEL'") << true;
  QTest::newRow("dword longer than 4 bytes") << QByteArray(R"("CHANNEL"=hex(4):01,00,00,00,00)") << "CHANNEL"
                                             << QVariant("Failed to get data for 'CHANNEL'") << true;
  QTest::newRow("missing value") << QByteArray() << "CHANNEL" << QVariant("Failed to get data for 'CHANNEL'")
                                 << true;
}

void TRegStoreTest::readsValueKinds()
{
  QFETCH(QByteArray, values);
  QFETCH(QString, name);
  QFETCH(QVariant, expected);
  QFETCH(bool, asInteger);
  WriteBytes(FPath, kKeyHead + values + "\r\n");

  const TRegistryKey key(FPath);
  QVariant read;
  const QString error = RaisedText([&] {
    read = asInteger ? QVariant(key.ReadInteger(name)) : QVariant(key.ReadString(name));
  });
  QCOMPARE(read.isValid() ? read : QVariant(error), expected);
}

void TRegStoreTest::readsUtf16FileAndRewritesItAsUtf8()
{
  const QString other = QStringLiteral("[HKEY_CURRENT_USER\\SOFTWARE\\Other]\r\n\"Name\"=\"Значение\"\r\n\r\n");
  const QString original = QString::fromUtf8(kKeyHead) + QStringLiteral("\"COM\"=\"Порт\"\r\n\r\n") + other;
  WriteBytes(FPath, Utf16File(original));

  TRegistryKey key(FPath);
  QCOMPARE(key.ReadString(QStringLiteral("COM")), QStringLiteral("Порт"));
  key.WriteInteger(QStringLiteral("CHANNEL"), 0);

  const QString expected = QString::fromUtf8(kKeyHead) +
                           QStringLiteral("\"COM\"=\"Порт\"\r\n\"CHANNEL\"=dword:00000000\r\n\r\n") + other;
  QCOMPARE(ReadBytes(FPath), expected.toUtf8());
}

void TRegStoreTest::corruptFileIsReportedAndKept_data()
{
  QTest::addColumn<QByteArray>("content");
  QTest::addColumn<int>("line");

  QTest::newRow("other header") << QByteArray("REGEDIT4\r\n\r\n") << 1;
  QTest::newRow("value before any key")
      << QByteArray("Windows Registry Editor Version 5.00\r\n\r\n\"COM\"=\"x\"\r\n") << 3;
  QTest::newRow("key line without bracket") << kKeyHead + "\r\n[HKEY_CURRENT_USER\\Other\r\n" << 5;
  const QList<QPair<const char *, QByteArray>> badValues{
      {"unterminated string", R"("COM"="x)"},
      {"unknown escape", R"("COM"="a\tb")"},
      {"text after string", R"("COM"="x" y)"},
      {"no equals sign", R"("COM" "x")"},
      {"unknown data kind", R"("COM"=qword:1)"},
      {"dword of nine digits", R"("CHANNEL"=dword:000000001)"},
      {"bad hex byte", R"("COM"=hex:4g)"},
      {"continuation at the end", R"("COM"=hex:41,\)"},
  };
  for (const auto &[name, value] : badValues)
    QTest::newRow(name) << kKeyHead + value + "\r\n" << 4;
  QTest::newRow("invalid UTF-8") << kKeyHead + "\"COM\"=\"ok\"\r\n\"phone1\"=\"\xff\"\r\n" << 5;
  // The rewrite in UTF-8 could not keep it.
  QTest::newRow("lone surrogate in a UTF-16 file")
      << Utf16File(QString::fromUtf8(kKeyHead) + QStringLiteral("\"COM\"=\"ok\"\r\n\"phone1\"=\"") + QChar(0xD800) +
                   QStringLiteral("\"\r\n"))
      << 5;
}

void TRegStoreTest::corruptFileIsReportedAndKept()
{
  QFETCH(QByteArray, content);
  QFETCH(int, line);
  WriteBytes(FPath, content);
  const QString report = QStringLiteral("Файл настроек %1 повреждён (строка %2)").arg(FPath).arg(line);

  TRegistryKey key(FPath);
  QCOMPARE(RaisedText([&] { key.ValueExists(QStringLiteral("COM")); }), report);
  QCOMPARE(RaisedText([&] { key.WriteString(QStringLiteral("COM"), QStringLiteral("/dev/ttyUSB0")); }),
           QStringLiteral("Failed to set data for 'COM'"));
  QCOMPARE(RaisedText([&] { StorePhoneNumber(FPath, QStringLiteral("123")); }), report);
  QCOMPARE(ReadBytes(FPath), content);
}

void TRegStoreTest::keyThatCannotBeCreated()
{
  // A file where the folder should be: not even root can create the key.
  const QString blocker = FDir->filePath(QStringLiteral("blocker"));
  WriteBytes(blocker, "x");
  const QString path = blocker + QStringLiteral("/Korvel/Tandrel.reg");

  TRegistryKey key(path);
  QVERIFY(!key.ValueExists(QStringLiteral("COM")));
  QCOMPARE(LoadPhoneHistory(path), QStringList());
  QCOMPARE(RaisedText([&] { key.WriteString(QStringLiteral("COM"), QStringLiteral("/dev/ttyUSB0")); }),
           QStringLiteral("Failed to set data for 'COM'"));
  QCOMPARE(RaisedText([&] { key.WriteInteger(QStringLiteral("CHANNEL"), 1); }),
           QStringLiteral("Failed to set data for 'CHANNEL'"));
  QCOMPARE(RaisedText([&] { StorePhoneNumber(path, QStringLiteral("123")); }),
           QStringLiteral("Failed to set data for 'phone1'"));
}

void TRegStoreTest::failedWriteKeepsPreviousFile()
{
  TRegistryKey(FPath).WriteString(QStringLiteral("COM"), QStringLiteral("/dev/ttyUSB0"));
  const QByteArray before = ReadBytes(FPath);

  TRegistryKey key(FPath);
  {
    const TFileSizeLimit limit(before.size());
    QCOMPARE(RaisedText([&] { key.WriteString(QStringLiteral("COM"), QString(200, u'x')); }),
             QStringLiteral("Failed to set data for 'COM'"));
  }
  QCOMPARE(ReadBytes(FPath), before);
  QCOMPARE(key.ReadString(QStringLiteral("COM")), QStringLiteral("/dev/ttyUSB0"));
  QCOMPARE(QDir(QFileInfo(FPath).absolutePath()).entryList(QDir::Files | QDir::Hidden),
           QStringList{QStringLiteral("Tandrel.reg")});
}

void TRegStoreTest::otherContentIsKept_data()
{
  QTest::addColumn<QByteArray>("original");
  QTest::addColumn<QByteArray>("expected"); // after writing "COM"="/dev/ttyUSB1"

  const QByteArray head = "Windows Registry Editor Version 5.00\n"
                          "\n"
                          "; kept by hand\n"
                          "[HKEY_CURRENT_USER\\SOFTWARE\\Other]\n"
                          "\"Blob\"=hex:01,02,\\\n"
                          "  03,04\n"
                          "\"Odd\" = dword:0000000A\n"
                          "\n";
  const QByteArray subkey = "[HKEY_CURRENT_USER\\SOFTWARE\\Korvel\\Tandrel\\Sub]\n"
                            "\"COM\"=\"sub\"\n";

  QTest::newRow("value replaced where it stands")
      << head + "[HKEY_CURRENT_USER\\SOFTWARE\\Korvel\\Tandrel]\n\"COM\"=\"/dev/ttyUSB0\"\n; note\n"
                "\"CHANNEL\"=dword:00000001\n\n" + subkey
      << head + "[HKEY_CURRENT_USER\\SOFTWARE\\Korvel\\Tandrel]\n\"COM\"=\"/dev/ttyUSB1\"\n; note\n"
                "\"CHANNEL\"=dword:00000001\n\n" + subkey;
  QTest::newRow("value added after the last one")
      << head + "[hkey_current_user\\software\\korvel\\tandrel]\n\"CHANNEL\"=dword:00000001\n\n" + subkey
      << head + "[hkey_current_user\\software\\korvel\\tandrel]\n\"CHANNEL\"=dword:00000001\n"
                "\"COM\"=\"/dev/ttyUSB1\"\n\n" + subkey;
  QTest::newRow("key added at the end") << head + subkey
                                        << head + subkey +
                                               "\n[HKEY_CURRENT_USER\\SOFTWARE\\Korvel\\Tandrel]\n"
                                               "\"COM\"=\"/dev/ttyUSB1\"\n\n";
}

void TRegStoreTest::otherContentIsKept()
{
  QFETCH(QByteArray, original);
  QFETCH(QByteArray, expected);
  WriteBytes(FPath, original);

  TRegistryKey(FPath).WriteString(QStringLiteral("COM"), QStringLiteral("/dev/ttyUSB1"));
  QCOMPARE(ReadBytes(FPath), expected);
}

void TRegStoreTest::defaultStorePath_data()
{
  QTest::addColumn<QByteArray>("configHome"); // null: unset
  QTest::addColumn<QString>("expected");

  const QString home = QDir::homePath() + QStringLiteral("/.config/Korvel/Tandrel.reg");
  QTest::newRow("set") << QByteArray("/srv/cfg") << "/srv/cfg/Korvel/Tandrel.reg";
  QTest::newRow("unset") << QByteArray() << home;
  QTest::newRow("relative is ignored") << QByteArray("cfg") << home;
}

void TRegStoreTest::defaultStorePath()
{
  QFETCH(QByteArray, configHome);
  QFETCH(QString, expected);
  const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
  const bool wasSet = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
  const auto restore = qScopeGuard([&] {
    if (wasSet)
      qputenv("XDG_CONFIG_HOME", saved);
    else
      qunsetenv("XDG_CONFIG_HOME");
  });

  if (configHome.isNull())
    qunsetenv("XDG_CONFIG_HOME");
  else
    qputenv("XDG_CONFIG_HOME", configHome);
  QCOMPARE(TRegistryKey::DefaultStorePath(), expected);
}

void TRegStoreTest::phoneHistory_data()
{
  QTest::addColumn<TStoredPhones>("stored");
  QTest::addColumn<QString>("number");
  QTest::addColumn<QStringList>("loadedBefore");
  QTest::addColumn<QStringList>("loadedAfter");

  TStoredPhones eight;
  QStringList eightNumbers;
  for (int i = 1; i <= 8; ++i) {
    eight[i] = QStringLiteral("n%1").arg(i);
    eightNumbers << eight[i];
  }

  QTest::newRow("first number") << TStoredPhones() << "+79001234567" << QStringList()
                                << QStringList{"+79001234567"};
  QTest::newRow("known number keeps the order")
      << TStoredPhones{{1, "A"}, {2, "B"}, {3, "C"}} << "B" << QStringList{"A", "B", "C"}
      << QStringList{"A", "B", "C"};
  QTest::newRow("ninth number drops phone8")
      << eight << "n9" << eightNumbers << QStringList{"n9", "n1", "n2", "n3", "n4", "n5", "n6", "n7"};
  QTest::newRow("leading blank makes another number")
      << TStoredPhones{{1, "123"}} << " 123" << QStringList{"123"} << QStringList{" 123", "123"};
  QTest::newRow("gap closed, value above loads again")
      << TStoredPhones{{1, "A"}, {3, "B"}} << "A" << QStringList{"A", "B"} << QStringList{"A", "B", "B"};
}

void TRegStoreTest::phoneHistory()
{
  QFETCH(TStoredPhones, stored);
  QFETCH(QString, number);
  QFETCH(QStringList, loadedBefore);
  QFETCH(QStringList, loadedAfter);
  {
    TRegistryKey key(FPath);
    for (auto it = stored.cbegin(); it != stored.cend(); ++it)
      key.WriteString(QStringLiteral("phone%1").arg(it.key()), it.value());
  }

  QCOMPARE(LoadPhoneHistory(FPath), loadedBefore);
  StorePhoneNumber(FPath, number);
  QCOMPARE(LoadPhoneHistory(FPath), loadedAfter);
}

QTEST_GUILESS_MAIN(TRegStoreTest)
#include "test_regstore.moc"
