// Typed application settings kept in the program's ".config" file, one
// section per settings class. A derived class publishes its properties
// (see rtl/TypInfo.h); their getters and setters call the readers and
// writers here with the entry name. Changes stay in memory until Save,
// which also runs when the object is destroyed.
//
// Every public operation holds the object's recursive lock, so one object
// may be shared between threads.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

#include "core/CritSectEx.h"
#include "core/MemIniFileEx.h"
#include "rtl/TypInfo.h"

namespace System {

class TAppSettingsBase : public TObject {
public:
    NORVANE_CLASS_INFO()

    // Section "Config.Application".
    explicit TAppSettingsBase(bool fileMustExist);
    TAppSettingsBase(const UnicodeString& section, bool fileMustExist);
    // A settings file other than the program's own.
    TAppSettingsBase(const UnicodeString& section, bool fileMustExist, const UnicodeString& fileName);
    ~TAppSettingsBase() override;
    TAppSettingsBase(const TAppSettingsBase&) = delete;
    TAppSettingsBase& operator=(const TAppSettingsBase&) = delete;

    void Init(const UnicodeString& section, bool fileMustExist);
    void Init(const UnicodeString& section, bool fileMustExist, const UnicodeString& fileName);
    void EnsureConfigFileExists(const UnicodeString& fileName);
    virtual void Save();

    UnicodeString get_String(const UnicodeString& name);
    int get_int(const UnicodeString& name);
    double get_float(const UnicodeString& name);
    bool get_bool(const UnicodeString& name);
    UnicodeString get_String(const UnicodeString& name, const UnicodeString& def);
    int get_int(const UnicodeString& name, int def);
    double get_float(const UnicodeString& name, double def);
    bool get_bool(const UnicodeString& name, bool def);

    void set_String(const UnicodeString& name, const UnicodeString& value);
    void set_int(const UnicodeString& name, int value);
    void set_float(const UnicodeString& name, double value);
    void set_bool(const UnicodeString& name, bool value);
    void set_String(const UnicodeString& name, const UnicodeString& def, const UnicodeString& value);
    void set_int(const UnicodeString& name, int def, int value);
    void set_float(const UnicodeString& name, double def, double value);
    void set_bool(const UnicodeString& name, bool def, bool value);

    // Reads every published property once; false with the first failure's
    // message and property name.
    bool TestAllGets(UnicodeString& error, UnicodeString& property);

    UnicodeString GetFileName() const;
    UnicodeString GetSection() const;
    // Changes not yet written by Save.
    bool GetModified() const;

    // The running program's full path, and it with the extension ".config".
    static UnicodeString ProgramFileName();
    static UnicodeString DefaultConfigFileName();

    // Asked when writing the file fails: the program shows its dialog with
    // Retry and Ignore. Without a handler the failure is reported on the
    // debugger output and standard error and the changes stay pending, so
    // a later Save (at the latest the destructor's) tries again.
    enum class TSaveErrorAnswer { Retry, Ignore };
    using TSaveErrorHandler = std::function<TSaveErrorAnswer(const UnicodeString& message)>;
    static TSaveErrorHandler SetSaveErrorHandler(TSaveErrorHandler handler);

protected:
    // Runs TestAllGets and throws the construction error. Init runs it, but
    // inside the base constructor only the base class is known, so every
    // class that publishes properties calls it at the end of its own
    // constructor.
    void CheckProperties();

private:
    // The monitor lock record: lock, recursion count, owner.
    struct LockRecord {
        FastCriticalSection::CritSectEx cs;
        std::int32_t count = 0;
        platform::thread_id_t owner = 0;
    };
    class Guard;

    template <class T, class Read, class Write>
    void SetStrict(const UnicodeString& name, const T& value, Read read, Write write);
    template <class T, class Read, class Write>
    void SetDefaulted(const UnicodeString& name, const T& def, const T& value, Read read, Write write);

    mutable LockRecord lock_;
    bool modified_ = false;
    UnicodeString fileName_;
    UnicodeString section_;
    std::unique_ptr<Inifiles::TMemIniFileEx> ini_;
};

} // namespace System
