#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include "AppSetup.h"

class TAppSetupTest : public QObject {
  Q_OBJECT

 private slots:
  void cataloguesBesideTheProgramOrInstalled() {
    QTemporaryDir root(QStringLiteral(KVITOR_APP_TEST_SCRATCH "/setup-XXXXXX"));
    QVERIFY(root.isValid());
    const std::string prefix = QDir(root.path()).canonicalPath().toStdString() + "/";
    const std::string bin = prefix + "bin/";
    QVERIFY(QDir().mkpath(QString::fromStdString(bin)));

    // No catalogues anywhere: the program's folder, as the lookup always had.
    QCOMPARE(kvitor::CatalogueParentFolder(bin), bin);
    // Installed: <prefix>/share/kvitor/locale.
    QVERIFY(QDir().mkpath(QString::fromStdString(prefix + "share/kvitor/locale")));
    QCOMPARE(kvitor::CatalogueParentFolder(bin), prefix + "share/kvitor/");
    // The build tree: locale beside the program wins.
    QVERIFY(QDir().mkpath(QString::fromStdString(bin + "locale")));
    QCOMPARE(kvitor::CatalogueParentFolder(bin), bin);
  }
};

QTEST_APPLESS_MAIN(TAppSetupTest)
#include "AppSetupTest.moc"
