#include "ui/UpdateChecker.h"

#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

#include <chrono>
#include <cmath>

namespace lw::ui {

UpdateChecker::UpdateChecker(Product product, std::shared_ptr<SettingsStore> defaults, DesktopServices& services,
                             Options options, QObject* parent)
    : QObject(parent), product_(product), defaults_(std::move(defaults)), services_(services),
      options_(std::move(options)) {
    if (!options_.session) options_.session = std::shared_ptr<const HttpSession>(&HttpSession::shared(), [](auto*) {});
}

QString UpdateChecker::lastCheckKey() const { return "updates.lastCheck." + QString::fromStdString(rawValue(product_)); }

long long UpdateChecker::currentBuild() const { return parseBuild(options_.currentBuild); }

double UpdateChecker::now() const {
    if (options_.now) return options_.now();
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

long long UpdateChecker::parseBuild(const QString& text) {
    bool ok = false;
    const long long value = text.toLongLong(&ok, 10);
    if (!ok) return 0;
    // toLongLong also takes surrounding blanks; a whole number is digits with one optional sign.
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (!(c.isDigit() && c.unicode() < 128) && !(i == 0 && (c == '+' || c == '-'))) return 0;
    }
    return value;
}

int UpdateChecker::numericCompare(const QString& a, const QString& b) {
    int i = 0, j = 0;
    const auto digit = [](QChar c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            int si = i, sj = j;
            while (si < a.size() && a[si] == '0') ++si;
            while (sj < b.size() && b[sj] == '0') ++sj;
            int ei = si, ej = sj;
            while (ei < a.size() && digit(a[ei])) ++ei;
            while (ej < b.size() && digit(b[ej])) ++ej;
            if (ei - si != ej - sj) return ei - si < ej - sj ? -1 : 1;
            for (int k = 0; k < ei - si; ++k)
                if (a[si + k] != b[sj + k]) return a[si + k] < b[sj + k] ? -1 : 1;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j] ? -1 : 1;
            ++i;
            ++j;
        }
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

bool UpdateChecker::isNewer(const UpdateInfo& info, const QString& currentVersion, long long currentBuild) {
    const int order = numericCompare(QString::fromStdString(info.version), currentVersion);
    if (order > 0) return true;
    if (order < 0) return false;
    return currentBuild < info.build;
}

void UpdateChecker::checkInBackground() {
    if (!options_.installed) return;
    const double last = defaults_->value(lastCheckKey()).value_or(QVariant(0.0)).toDouble();
    // A time ahead of the clock (or not a number) cannot be trusted to say a check was made.
    const double elapsed = now() - last;
    if (std::isfinite(last) && elapsed >= 0 && elapsed <= 86400) return;
    fetch(false);
}

void UpdateChecker::checkNow() { fetch(true); }

void UpdateChecker::fetch(bool onDemand) {
    struct Result {
        std::optional<UpdateInfo> info;
    };
    auto* watcher = new QFutureWatcher<Result>(this);
    connect(watcher, &QFutureWatcher<Result>::finished, this, [this, watcher, onDemand] {
        const Result result = watcher->result();
        watcher->deleteLater();
        finish(onDemand, result.info);
    });
    const Product product = product_;
    auto session = options_.session;
    watcher->setFuture(QtConcurrent::run([product, session]() -> Result {
        try {
            return {UpdateInfo::fetch(product, *session)};
        } catch (...) {
            return {};
        }
    }));
}

void UpdateChecker::finish(bool onDemand, const std::optional<UpdateInfo>& info) {
    if (!info) {
        if (onDemand)
            services_.runAlert({tr("Couldn't check for updates"),
                                tr("The update server didn't answer. Check your internet connection and try again."),
                                {}});
        emit checkFinished();
        return;
    }
    defaults_->setValue(lastCheckKey(), now());
    if (isNewer(*info, options_.currentVersion, currentBuild()) && info->isTrustedDownload()) {
        available_ = *info;
        emit availableChanged();
        present(*info);
    } else if (onDemand) {
        services_.runAlert({tr("You're up to date"),
                            QString::fromStdString(displayName(product_)) + " " + options_.currentVersion +
                                tr(" is the newest version."),
                            {}});
    }
    emit checkFinished();
}

void UpdateChecker::present(const UpdateInfo& info) {
    QString informative;
    if (info.notes) informative = QString::fromStdString(*info.notes) + "\n\n";
    informative += tr("You have ") + options_.currentVersion +
                   tr(". The download opens in your browser; install it to replace this one.");
    const int button = services_.runAlert({QString::fromStdString(displayName(product_)) + " " +
                                               QString::fromStdString(info.version) + tr(" is available"),
                                           informative,
                                           {tr("Download"), tr("Later")}});
    if (button == 0) services_.openUrl(QString::fromStdString(info.url.toString()));
}

}  // namespace lw::ui
