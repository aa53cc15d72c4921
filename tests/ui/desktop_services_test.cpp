// The desktop's own open panel for "Add Files…" takes files and folders together.
#include "ShellTestSupport.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>

#include "ui/DesktopServices.h"

using namespace lw::ui;
using namespace lw::ui::test;

class DesktopServicesTest : public QObject {
    Q_OBJECT

private slots:
    void addFilesPanelTakesFoldersAndFiles() {
        TempDir dir("panel");
        const fs::path folder = dir.path / "shoot";
        fs::create_directories(folder);
        const fs::path file = dir.touch("cover.jpg");
        // Answer the modal panel the way a user would: type both names and press Open.
        QTimer::singleShot(300, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->setDirectory(QString::fromStdString(dir.path.string()));
            auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
            QVERIFY(name);
            name->setText("\"shoot\" \"cover.jpg\"");
            QTimer::singleShot(100, dialog, [dialog] { QMetaObject::invokeMethod(dialog, "accept"); });
        });
        auto chosen = DesktopServices::shared().chooseFilesAndFolders(nullptr);
        std::sort(chosen.begin(), chosen.end());
        QCOMPARE(chosen, (std::vector<fs::path>{file, folder}));

        // One folder named and Open pressed: the folder is taken, not entered.
        QTimer::singleShot(300, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->setDirectory(QString::fromStdString(dir.path.string()));
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText("shoot");
            QTimer::singleShot(100, dialog, [dialog] { QMetaObject::invokeMethod(dialog, "accept"); });
        });
        QCOMPARE(DesktopServices::shared().chooseFilesAndFolders(nullptr), std::vector<fs::path>{folder});

        // Gone into the folder, nothing selected, Open pressed: that folder.
        QTimer::singleShot(300, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->setDirectory(QString::fromStdString(folder.string()));
            dialog->findChild<QLineEdit*>("fileNameEdit")->clear();
            QTimer::singleShot(100, dialog, [dialog] { QMetaObject::invokeMethod(dialog, "accept"); });
        });
        QCOMPARE(DesktopServices::shared().chooseFilesAndFolders(nullptr), std::vector<fs::path>{folder});

        // Cancelled: nothing.
        QTimer::singleShot(300, [] {
            if (auto* dialog = QApplication::activeModalWidget()) qobject_cast<QDialog*>(dialog)->reject();
        });
        QVERIFY(DesktopServices::shared().chooseFilesAndFolders(nullptr).empty());
    }
};

QTEST_MAIN(DesktopServicesTest)
#include "desktop_services_test.moc"
