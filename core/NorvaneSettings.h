// The library's own settings: section "Config.Runtime" of the program's
// ".config" file, which need not exist.
#pragma once
#include "core/AppSettings.h"

namespace System {

class TNorvaneSettings : public TAppSettingsBase {
public:
    NORVANE_CLASS_INFO()

    TNorvaneSettings();
    // Settings kept in another file (tests, embedding).
    explicit TNorvaneSettings(const UnicodeString& fileName);

    // The collector without marking workers, collecting everything each time.
    bool GetgcEmbeddedSys() { return get_bool("gcEmbeddedSys", false); }
    void SetgcEmbeddedSys(bool value) { set_bool("gcEmbeddedSys", false, value); }

    // The instance the library made at start-up; null before and after.
    static TNorvaneSettings* Instance() noexcept;
    static void SetInstance(TNorvaneSettings* settings) noexcept;
};

} // namespace System
