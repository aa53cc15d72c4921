#pragma once
// The user-defaults store of the shell: QSettings in the application, memory in tests.
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <memory>
#include <optional>

namespace lw::ui {

class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // None when the key was never written.
    virtual std::optional<QVariant> value(const QString& key) const = 0;
    virtual void setValue(const QString& key, const QVariant& value) = 0;

    // QSettings of organisation "tallymill", application "eavesmark" (the XDG config file).
    static std::shared_ptr<SettingsStore> standard();
};

class MemorySettingsStore : public SettingsStore {
public:
    std::optional<QVariant> value(const QString& key) const override;
    void setValue(const QString& key, const QVariant& value) override;
    int writeCount() const { return writes_; }  // for tests of the debounced save

private:
    QVariantMap values_;
    int writes_ = 0;
};

}  // namespace lw::ui
