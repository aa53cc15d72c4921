// eavesmark: listing photos in, web and print sets out.
#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstring>

#include "EavesmarkApp.h"

namespace {

void describe(QCommandLineParser& parser) {
    parser.setApplicationDescription("Listing photos ready for the MLS, Zillow and Airbnb.");
    parser.addHelpOption();
    parser.addOption({"snapshot", "Draw the window, write its picture to <path> and the option column's to "
                                  "<path>-options.png, then quit.",
                      "path"});
    parser.addOption({"snapshot-size", "Window size for --snapshot in pixels, such as 1280x800.", "WxH"});
}

// "--help", "-h" or "-?" as an option (not as the value of one): answered before the window
// system is reached, so it needs no display.
bool asksForHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--snapshot") || !std::strcmp(argv[i], "--snapshot-size")) {
            ++i;
            continue;
        }
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "-?")) return true;
    }
    return false;
}

void name() {
    QCoreApplication::setOrganizationName("tallymill");
    QCoreApplication::setApplicationName("eavesmark");
    QCoreApplication::setApplicationVersion(LW_VERSION);
}

}  // namespace

int main(int argc, char** argv) {
    if (asksForHelp(argc, argv)) {
        QCoreApplication core(argc, argv);
        name();
        QCommandLineParser parser;
        describe(parser);
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    QApplication application(argc, argv);
    name();
    QGuiApplication::setDesktopFileName("eavesmark");
    // The toolkit's own options (-platform, -style, ...) are taken out of the arguments by now.
    QCommandLineParser parser;
    describe(parser);
    // "--snapshot" as the last argument names no picture: the application runs normally.
    QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1 && arguments.last() == "--snapshot") arguments.removeLast();
    const bool parsed = parser.parse(arguments);
    if (!parsed || !parser.positionalArguments().isEmpty()) {
        const QString problem =
            parsed ? "Unexpected argument '" + parser.positionalArguments().first() + "'." : parser.errorText();
        std::fprintf(stderr, "eavesmark: %s\n\n%s", qPrintable(problem), qPrintable(parser.helpText()));
        return 2;
    }
    if (parser.isSet("help-all")) parser.process(arguments);  // prints it and exits 0
    // Closing the window quits, also while the tray icon stays.
    QApplication::setQuitOnLastWindowClosed(true);
    lw::app::EavesmarkApp app;
    return app.run();
}
