#include "ui/SettingsStore.h"

#include <QSettings>

namespace lw::ui {

namespace {

class QtSettingsStore : public SettingsStore {
public:
    QtSettingsStore() : settings_(QSettings::NativeFormat, QSettings::UserScope, "tallymill", "eavesmark") {}

    std::optional<QVariant> value(const QString& key) const override {
        if (!settings_.contains(key)) return std::nullopt;
        return settings_.value(key);
    }
    void setValue(const QString& key, const QVariant& value) override {
        settings_.setValue(key, value);
        settings_.sync();
    }

private:
    mutable QSettings settings_;
};

}  // namespace

std::shared_ptr<SettingsStore> SettingsStore::standard() { return std::make_shared<QtSettingsStore>(); }

std::optional<QVariant> MemorySettingsStore::value(const QString& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
}

void MemorySettingsStore::setValue(const QString& key, const QVariant& value) {
    values_.insert(key, value);
    ++writes_;
}

}  // namespace lw::ui
