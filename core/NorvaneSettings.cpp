#include "core/NorvaneSettings.h"

#include <atomic>

namespace System {

namespace {
std::atomic<TNorvaneSettings*> g_instance{nullptr};
}

TClass TNorvaneSettings::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TNorvaneSettings, TAppSettingsBase>("TNorvaneSettings", "NorvaneSettings")
                                      .Property("gcEmbeddedSys", &TNorvaneSettings::GetgcEmbeddedSys,
                                                &TNorvaneSettings::SetgcEmbeddedSys)
                                      .Build();
    return &cls;
}

TNorvaneSettings::TNorvaneSettings() : TAppSettingsBase("Config.Runtime", false) { CheckProperties(); }

TNorvaneSettings::TNorvaneSettings(const UnicodeString& fileName)
    : TAppSettingsBase("Config.Runtime", false, fileName) {
    CheckProperties();
}

TNorvaneSettings* TNorvaneSettings::Instance() noexcept { return g_instance.load(std::memory_order_acquire); }
void TNorvaneSettings::SetInstance(TNorvaneSettings* settings) noexcept {
    g_instance.store(settings, std::memory_order_release);
}

} // namespace System
