// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <QDir>
#include <QTest>

#include "app/WindowRules.h"

using kvitor::TReportFileType;

class TWindowRulesTest : public QObject {
  Q_OBJECT

 private slots:
  void theTypedNameDecidesTheFile() {
    constexpr auto kBin = TReportFileType::Binary;
    constexpr auto kText = TReportFileType::Text;
    const struct {
      const char* typed;
      TReportFileType filter;
      const char* name;
      TReportFileType type;
    } cases[] = {
        {"/d/report.txt", kBin, "/d/report.txt", kText},
        {"/d/report.TXT", kBin, "/d/report.TXT", kText},
        {"/d/report.bin", kText, "/d/report.bin", kBin},
        {"/d/report", kBin, "/d/report.bin", kBin},
        {"/d/report", kText, "/d/report.txt", kText},
        {"/d/report.", kText, "/d/report.txt", kText},
        {"/d/v1.2/report", kText, "/d/v1.2/report.txt", kText},
        {"/d/report.dat", kText, "/d/report.dat", kText},
    };
    for (const auto& c : cases) {
      const auto choice = kvitor::ResolveSaveName(QString::fromUtf8(c.typed), c.filter);
      QCOMPARE(choice.FileName, QString::fromUtf8(c.name));
      QVERIFY2(choice.FileType == c.type, c.typed);
    }
    QCOMPARE(kvitor::CompanionName(QStringLiteral("/d/r.bin"), kBin), QStringLiteral("/d/r.txt"));
    QCOMPARE(kvitor::CompanionName(QStringLiteral("/d/r.TXT"), kText), QStringLiteral("/d/r.bin"));
    QCOMPARE(kvitor::CompanionName(QStringLiteral("/d/r.dat"), kBin), QStringLiteral("/d/r.txt"));
  }

  void recentListKeepsTheNewestOnce() {
    QCOMPARE(kvitor::WithRecent({}, QStringLiteral("a")), QStringList{QStringLiteral("a")});
    QCOMPARE(kvitor::WithRecent({"b", "a", "c"}, QStringLiteral("a")),
             (QStringList{"a", "b", "c"}));
    QCOMPARE(kvitor::WithRecent({"b", "c", "d"}, QStringLiteral("a"), 3),
             (QStringList{"a", "b", "c"}));
  }

  void rangeCheckMatchesItsWords() {
    QVERIFY(kvitor::RangeProblem(1, 10, 10).isEmpty());
    QVERIFY(kvitor::RangeProblem(7, 7, std::nullopt).isEmpty());  // equal numbers are a range
    QVERIFY(kvitor::RangeProblem(-3, 5, 10).contains(QStringLiteral("первого")));
    QVERIFY(kvitor::RangeProblem(1, -2, 10).contains(QStringLiteral("последнего")));
    QVERIFY(kvitor::RangeProblem(5, 3, 10).contains(QStringLiteral("не больше")));
    const QString past = kvitor::RangeProblem(1, 5000, 62);
    QVERIFY2(past.contains(QStringLiteral("62")), qPrintable(past));
    QVERIFY(kvitor::RangeProblem(1, 5000, std::nullopt).isEmpty());
  }

  void storageSourceAndPlaceholders() {
    kvitor::TTorvelChoice choice;
    QCOMPARE(kvitor::StorageSourceText(choice), QStringLiteral("демонстрационный ФН"));
    choice.Image = "/data/fn.json";
    QCOMPARE(kvitor::StorageSourceText(choice), QStringLiteral("файл данных /data/fn.json"));
    choice.Connection = kvitor::TTorvelConnection::Serial;
    choice.Port = "/dev/ttyACM0";
    QCOMPARE(kvitor::StorageSourceText(choice), QStringLiteral("порт /dev/ttyACM0"));

    for (const char* placeholder :
         {"", "https://example.org/kvitor", "support@example.org", "http://www.example.com"}) {
      QVERIFY2(kvitor::IsPlaceholderAddress(QString::fromUtf8(placeholder)), placeholder);
    }
    for (const char* real : {"https://kvitor.ru", "help@kvitor.ru", "https://notexample.org"}) {
      QVERIFY2(!kvitor::IsPlaceholderAddress(QString::fromUtf8(real)), real);
    }
  }

  void settingsLastAcrossSessions() {
    QVERIFY(qEnvironmentVariable("XDG_CONFIG_HOME").startsWith(QStringLiteral("/")));
    QDir(qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/kvitor")).removeRecursively();
    QCOMPARE(kvitor::TWindowSettings::SaveType(), TReportFileType::Binary);
    QVERIFY(!kvitor::TWindowSettings::SaveBoth());
    kvitor::TWindowSettings::SetSave(QStringLiteral("/reports"), TReportFileType::Text, true);
    kvitor::TWindowSettings::AddRecentReport(QStringLiteral("/r/a.bin"));
    kvitor::TWindowSettings::AddRecentReport(QStringLiteral("/r/b.bin"));
    QCOMPARE(kvitor::TWindowSettings::SaveFolder(), QStringLiteral("/reports"));
    QCOMPARE(kvitor::TWindowSettings::SaveType(), TReportFileType::Text);
    QVERIFY(kvitor::TWindowSettings::SaveBoth());
    QCOMPARE(kvitor::TWindowSettings::RecentReports(), (QStringList{"/r/b.bin", "/r/a.bin"}));
    QVERIFY(QFile::exists(qEnvironmentVariable("XDG_CONFIG_HOME") +
                          QStringLiteral("/kvitor/kvitor.ini")));
  }
};

QTEST_GUILESS_MAIN(TWindowRulesTest)
#include "WindowRulesTest.moc"
