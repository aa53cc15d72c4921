// The update check against a loopback feed: once a day in the background and only for an
// installed copy, on demand always; newer and trusted versions are offered, everything else is
// silent in the background and answered on demand.
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>

#include "FakeDesktop.h"
#include "ui/UpdateChecker.h"

using namespace lw;
using namespace lw::ui;
using lw::ui::test::FakeDesktop;

namespace {

// The desktop's own alerts; only the browser is replaced, so a link opened through the desktop
// instead would not be recorded here.
class RealAlerts : public DesktopServices {
public:
    std::vector<QString> openedUrls;
    void openUrl(const QString& url) override { openedUrls.push_back(url); }
};

// Answers every HTTP request on 127.0.0.1 with one configured response and counts requests.
class LoopbackFeed {
public:
    LoopbackFeed() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 8) != 0)
            throw std::runtime_error("cannot listen on loopback");
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackFeed() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void respond(int status, std::string body) {
        std::lock_guard lock(mutex_);
        status_ = status;
        body_ = std::move(body);
    }
    int requests() const { return requests_; }
    std::string lastPath() {
        std::lock_guard lock(mutex_);
        return path_;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0) continue;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                pollfd c{client, POLLIN, 0};
                if (::poll(&c, 1, 2000) <= 0) break;
                const auto n = ::read(client, buf, sizeof buf);
                if (n <= 0) break;
                request.append(buf, static_cast<std::size_t>(n));
            }
            std::string response;
            {
                std::lock_guard lock(mutex_);
                const auto first = request.find(' ');
                path_ = request.substr(first + 1, request.find(' ', first + 1) - first - 1);
                response = "HTTP/1.0 " + std::to_string(status_) + " X\r\nContent-Type: application/json\r\n" +
                           "Content-Length: " + std::to_string(body_.size()) + "\r\n\r\n" + body_;
            }
            ++requests_;
            (void)::write(client, response.data(), response.size());
            ::close(client);
        }
    }
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::mutex mutex_;
    int status_ = 200;
    std::string body_;
    std::string path_;
};

constexpr double kNow = 1'800'000'000;

struct Harness {
    LoopbackFeed feed;
    FakeDesktop desktop;
    std::shared_ptr<MemorySettingsStore> store = std::make_shared<MemorySettingsStore>();
    std::unique_ptr<UpdateChecker> checker;

    explicit Harness(bool installed = true, QString version = "2.0", QString build = "12",
                     DesktopServices* services = nullptr) {
        UpdateChecker::Options options;
        options.currentVersion = version;
        options.currentBuild = build;
        options.installed = installed;
        HttpSession::Options http;
        http.originOverride = feed.origin();
        options.session = std::make_shared<HttpSession>(http);
        options.now = [] { return kNow; };
        checker = std::make_unique<UpdateChecker>(Product::realEstate, store, services ? *services : desktop, options);
    }
    // Runs one check; false when it did not finish (or never started) within `ms`.
    bool run(bool onDemand, int ms = 5000) {
        QSignalSpy done(checker.get(), &UpdateChecker::checkFinished);
        onDemand ? checker->checkNow() : checker->checkInBackground();
        return done.wait(ms);
    }
    double lastCheck() const { return store->value("updates.lastCheck.gablewise").value_or(QVariant(-1.0)).toDouble(); }
};

std::string feedJSON(const std::string& version, int build, const std::string& url, const char* notes = nullptr) {
    std::string json = R"({"version": ")" + version + R"(", "build": )" + std::to_string(build) + R"(, "url": ")" + url + "\"";
    if (notes) json += R"(, "notes": ")" + std::string(notes) + "\"";
    return json + "}";
}

const std::string kTrusted = "https://lotwright.app/downloads/Eavesmark-2.1.tar.gz";

}  // namespace

class UpdateCheckerTest : public QObject {
    Q_OBJECT

private slots:
    void newerRule_data() {
        QTest::addColumn<QString>("feed");
        QTest::addColumn<int>("feedBuild");
        QTest::addColumn<QString>("running");
        QTest::addColumn<QString>("runningBuild");
        QTest::addColumn<bool>("newer");
        QTest::newRow("1.10 after 1.9") << "1.10" << 1 << "1.9" << "1" << true;
        QTest::newRow("1.9 before 1.10") << "1.9" << 99 << "1.10" << "1" << false;
        QTest::newRow("same version and build") << "2.0" << 12 << "2.0" << "12" << false;
        QTest::newRow("same version, higher build") << "2.0" << 12 << "2.0" << "11" << true;
        QTest::newRow("unknown running version") << "0.1" << 0 << "0" << "" << true;
        QTest::newRow("build not a number counts 0") << "2.0" << 1 << "2.0" << "12a" << true;
        QTest::newRow("signed build") << "2.0" << 5 << "2.0" << "+7" << false;
    }
    void newerRule() {
        QFETCH(QString, feed);
        QFETCH(int, feedBuild);
        QFETCH(QString, running);
        QFETCH(QString, runningBuild);
        QFETCH(bool, newer);
        UpdateInfo info{feed.toStdString(), feedBuild, *Url::parse(kTrusted), std::nullopt};
        QCOMPARE(UpdateChecker::isNewer(info, running, UpdateChecker::parseBuild(runningBuild)), newer);
    }

    void backgroundCheckNeedsAnInstalledCopy() {
        Harness h(false);
        h.feed.respond(200, feedJSON("3.0", 1, kTrusted));
        QVERIFY(!h.run(false, 300));
        QCOMPARE(h.feed.requests(), 0);
        QVERIFY(h.run(true));  // on demand still works
        QCOMPARE(h.feed.requests(), 1);
        QCOMPARE(h.feed.lastPath(), std::string("/downloads/Eavesmark.json"));
    }

    void backgroundCheckAtMostOnceADay() {
        Harness h;
        h.feed.respond(200, feedJSON("2.0", 12, kTrusted));
        h.store->setValue("updates.lastCheck.gablewise", kNow - 86400);
        QVERIFY(!h.run(false, 300));
        QCOMPARE(h.feed.requests(), 0);
        h.store->setValue("updates.lastCheck.gablewise", kNow - 86401);
        QVERIFY(h.run(false));
        QCOMPARE(h.feed.requests(), 1);
        QCOMPARE(h.lastCheck(), kNow);  // moved on although nothing was newer
        QVERIFY(h.desktop.alerts.empty());
    }

    void lastCheckInTheFutureOrUnreadableIsDue_data() {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("due");
        QTest::newRow("a second ago") << QVariant(kNow - 1) << false;
        QTest::newRow("now") << QVariant(kNow) << false;
        QTest::newRow("a second ahead") << QVariant(kNow + 1) << true;
        QTest::newRow("years ahead") << QVariant(kNow + 10 * 365 * 86400.0) << true;
        QTest::newRow("infinitely ahead") << QVariant(std::numeric_limits<double>::infinity()) << true;
        QTest::newRow("not a number") << QVariant(std::numeric_limits<double>::quiet_NaN()) << true;
        QTest::newRow("text") << QVariant(QString("soon")) << true;
    }
    void lastCheckInTheFutureOrUnreadableIsDue() {
        QFETCH(QVariant, stored);
        QFETCH(bool, due);
        Harness h;
        h.feed.respond(200, feedJSON("2.0", 12, kTrusted));
        h.store->setValue("updates.lastCheck.gablewise", stored);
        QCOMPARE(h.run(false, due ? 5000 : 300), due);
        QCOMPARE(h.feed.requests(), due ? 1 : 0);
        if (due) QCOMPARE(h.lastCheck(), kNow);  // the next launch waits a day again
    }

    void failedFetches() {
        Harness h;
        h.feed.respond(500, "{}");
        h.store->setValue("updates.lastCheck.gablewise", 5.0);
        QVERIFY(h.run(false));
        QVERIFY(h.desktop.alerts.empty());
        QCOMPARE(h.lastCheck(), 5.0);
        h.feed.respond(200, "not json");
        QVERIFY(h.run(true));
        QCOMPARE(h.desktop.alerts.size(), std::size_t(1));
        QCOMPARE(h.desktop.alerts[0].message, QString("Couldn't check for updates"));
        QCOMPARE(h.desktop.alerts[0].informativeText,
                 QString("The update server didn't answer. Check your internet connection and try again."));
        QVERIFY(h.desktop.alerts[0].buttons.isEmpty());
        QCOMPARE(h.lastCheck(), 5.0);
    }

    void nothingNewerOrUntrusted_data() {
        QTest::addColumn<QString>("body");
        QTest::newRow("same version") << QString::fromStdString(feedJSON("2.0", 12, kTrusted));
        QTest::newRow("plain http") << QString::fromStdString(feedJSON("9.0", 1, "http://lotwright.app/x.tar.gz"));
        QTest::newRow("other host") << QString::fromStdString(feedJSON("9.0", 1, "https://lotwright.app.evil.com/x"));
    }
    void nothingNewerOrUntrusted() {
        QFETCH(QString, body);
        Harness h;
        h.feed.respond(200, body.toStdString());
        QVERIFY(h.run(false));
        QVERIFY(h.desktop.alerts.empty());
        QCOMPARE(h.lastCheck(), kNow);
        QVERIFY(!h.checker->available());
        QVERIFY(h.run(true));
        QCOMPARE(h.desktop.alerts.size(), std::size_t(1));
        QCOMPARE(h.desktop.alerts[0].message, QString("You're up to date"));
        QCOMPARE(h.desktop.alerts[0].informativeText, QString("Eavesmark 2.0 is the newest version."));
    }

    void offersNewerTrustedVersion() {
        Harness h;
        h.feed.respond(200, feedJSON("2.1", 3, kTrusted, "Faster fusion."));
        h.desktop.alertAnswers = {1, 0};  // "Later", then "Download"
        QSignalSpy available(h.checker.get(), &UpdateChecker::availableChanged);
        QVERIFY(h.run(false));
        QCOMPARE(available.count(), 1);
        QCOMPARE(h.checker->available()->version, std::string("2.1"));
        QCOMPARE(h.desktop.alerts.size(), std::size_t(1));
        const Alert& alert = h.desktop.alerts[0];
        QCOMPARE(alert.message, QString("Eavesmark 2.1 is available"));
        QCOMPARE(alert.informativeText,
                 QString("Faster fusion.\n\nYou have 2.0. The download opens in your browser; install it to replace "
                         "this one."));
        QCOMPARE(alert.buttons, (QStringList{"Download", "Later"}));
        QVERIFY(h.desktop.openedUrls.empty());

        QVERIFY(h.run(true));
        QCOMPARE(h.desktop.openedUrls, std::vector<QString>{QString::fromStdString(kTrusted)});

        h.feed.respond(200, feedJSON("2.1", 3, kTrusted));
        QVERIFY(h.run(true));
        QVERIFY(h.desktop.alerts.back().informativeText.startsWith("You have 2.0."));
    }

    // The feed's texts reach the desktop's message box as they are: markup is not rendered, a
    // link in the notes is not live, and a "<" does not hide the text after it.
    void feedTextsShownLiterally() {
        RealAlerts desktop;
        Harness h(true, "2.0", "12", &desktop);
        const char* notes = "<a href='https://evil.example/x'>Get it</a> <img src='/tmp/x.png'> 1<2 rest";
        h.feed.respond(200, feedJSON("2.1<b>", 3, kTrusted, notes));
        QString message, informative;
        std::vector<Qt::TextFormat> formats;
        std::vector<bool> externalLinks;
        bool answered = false;
        std::function<void()> answer = [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) {
                QTimer::singleShot(20, answer);
                return;
            }
            for (auto* label : box->findChildren<QLabel*>()) {
                if (label->text().isEmpty()) continue;  // the icon
                if (label->objectName() == "qt_msgbox_label") message = label->text();
                if (label->objectName() == "qt_msgbox_informativelabel") informative = label->text();
                formats.push_back(label->textFormat());
                externalLinks.push_back(label->openExternalLinks());
            }
            for (auto* button : box->buttons())
                if (button->text() == "Later") button->click();
            answered = true;
        };
        QTimer::singleShot(20, answer);
        QVERIFY(h.run(false));
        QVERIFY(answered);
        QCOMPARE(message, QString("Eavesmark 2.1<b> is available"));
        QCOMPARE(informative, QString(notes) + "\n\nYou have 2.0. The download opens in your browser; install it to "
                                               "replace this one.");
        QCOMPARE(formats, (std::vector<Qt::TextFormat>{Qt::PlainText, Qt::PlainText}));
        QCOMPARE(externalLinks, (std::vector<bool>{false, false}));
        QVERIFY(desktop.openedUrls.empty());
    }
};

QTEST_MAIN(UpdateCheckerTest)
#include "update_checker_test.moc"
