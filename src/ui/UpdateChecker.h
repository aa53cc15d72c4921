#pragma once
// Tells the user when the update feed offers a newer version: a background check at most once
// a day (only for an installed copy), and the on-demand "Check for Updates…" that also answers
// "up to date" and failures. Nothing is downloaded here; "Download" opens the browser.
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

#include "core/Product.h"
#include "core/UpdateInfo.h"
#include "platform/HttpSession.h"
#include "ui/DesktopServices.h"
#include "ui/SettingsStore.h"

namespace lw::ui {

class UpdateChecker : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString currentVersion = "0";  // the running version; "0" when unknown
        QString currentBuild;          // the running build as text; not a whole number counts as 0
        // Started from its installed location (not a bare executable in a build folder); the
        // background check runs only then.
        bool installed = false;
        std::shared_ptr<const HttpSession> session;  // none: HttpSession::shared()
        std::function<double()> now;                 // seconds since 1970; none: the system clock
    };

    UpdateChecker(Product product, std::shared_ptr<SettingsStore> defaults, DesktopServices& services,
                  Options options, QObject* parent = nullptr);

    // Fetches in the background unless not installed or the last successful fetch was at most
    // 24 hours ago (a stored time ahead of the clock counts as no check); offers a newer trusted
    // version, otherwise stays silent.
    void checkInBackground();
    // Fetches now; offers a newer trusted version, else says "You're up to date", or
    // "Couldn't check for updates" when the fetch fails.
    void checkNow();

    Product product() const { return product_; }
    const std::optional<UpdateInfo>& available() const { return available_; }
    // "updates.lastCheck." + the product's raw word.
    QString lastCheckKey() const;
    QString currentVersion() const { return options_.currentVersion; }
    long long currentBuild() const;

    // The feed's version orders after the running one (digit runs by value), or orders the same
    // with a higher build.
    static bool isNewer(const UpdateInfo& info, const QString& currentVersion, long long currentBuild);
    // Digit runs compare by value, everything else character by character: -1, 0 or 1.
    static int numericCompare(const QString& a, const QString& b);
    // A base-10 whole number with an optional sign, else 0.
    static long long parseBuild(const QString& text);

signals:
    void availableChanged();
    // After a check has ended (its alert closed, if it showed one).
    void checkFinished();

private:
    void fetch(bool onDemand);
    void finish(bool onDemand, const std::optional<UpdateInfo>& info);
    void present(const UpdateInfo& info);
    double now() const;

    Product product_;
    std::shared_ptr<SettingsStore> defaults_;
    DesktopServices& services_;
    Options options_;
    std::optional<UpdateInfo> available_;
};

}  // namespace lw::ui
