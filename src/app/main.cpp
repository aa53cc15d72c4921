// eavesmark: listing photos in, web and print sets out.
#include <QApplication>

#include "EavesmarkApp.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setOrganizationName("tallymill");
    QApplication::setApplicationName("eavesmark");
    QApplication::setApplicationVersion(LW_VERSION);
    QGuiApplication::setDesktopFileName("eavesmark");
    // Closing the window quits, also while the tray icon stays.
    QApplication::setQuitOnLastWindowClosed(true);
    lw::app::EavesmarkApp app;
    return app.run();
}
