#include "core/AppSettings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/Exceptions.h"
#include "platform/debug_output.h"
#include "rtl/Exception.h"

namespace System {

using Sysutils::EReadError;
using Sysutils::Exception;

namespace {

const char* const kSaveFailed = "An error has occurred while saving changes to application settings.";

std::mutex g_handlerLock;
TAppSettingsBase::TSaveErrorHandler& Handler() {
    static TAppSettingsBase::TSaveErrorHandler h;
    return h;
}

TAppSettingsBase::TSaveErrorHandler CurrentHandler() {
    std::lock_guard<std::mutex> g(g_handlerLock);
    return Handler();
}

void ReportSaveFailure(const UnicodeString& text) {
    const std::string line = text.ToUtf8();
    platform::output_debug_string(line);
    std::string err = line + "\n";
    ssize_t r = ::write(STDERR_FILENO, err.data(), err.size());
    (void)r;
}

} // namespace

// ---- lock -------------------------------------------------------------------

class TAppSettingsBase::Guard {
public:
    explicit Guard(LockRecord& r) : r_(r) {
        bool unlockNeeded;
        r_.cs.Lock(unlockNeeded, 0xFFFFFFFFul);
        if (r_.count == INT32_MAX) throw Threading::ESynchronizationLock("Recursive lock overflow");
        ++r_.count;
        r_.owner = platform::current_thread_id();
    }
    // Guards are scoped, so every release is by the thread that entered.
    ~Guard() {
        if (--r_.count == 0) {
            r_.owner = 0;
            r_.cs.Unlock(true);
        }
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    LockRecord& r_;
};

// ---- class information -------------------------------------------------------

TClass TAppSettingsBase::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TAppSettingsBase, TObject>("TAppSettingsBase", "AppSettings").Build();
    return &cls;
}

// ---- life cycle -------------------------------------------------------------

TAppSettingsBase::TAppSettingsBase(bool fileMustExist) : TAppSettingsBase("Config.Application", fileMustExist) {}

TAppSettingsBase::TAppSettingsBase(const UnicodeString& section, bool fileMustExist) { Init(section, fileMustExist); }

TAppSettingsBase::TAppSettingsBase(const UnicodeString& section, bool fileMustExist, const UnicodeString& fileName) {
    Init(section, fileMustExist, fileName);
}

TAppSettingsBase::~TAppSettingsBase() {
    try {
        Save();
    } catch (const Exception& e) {
        platform::output_debug_string(("WARNING - Error saving AppSettings: " + e.Message()).ToUtf8());
    } catch (...) {
        platform::output_debug_string("WARNING: Error saving AppSettings");
    }
}

UnicodeString TAppSettingsBase::ProgramFileName() {
    std::vector<char> buf(PATH_MAX + 1);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) throw Sysutils::EInOutError("Cannot determine the program's file name. " +
                                               UnicodeString(std::strerror(errno)));
        if (static_cast<std::size_t>(n) < buf.size()) return UnicodeString(std::string_view(buf.data(), n));
        buf.resize(buf.size() * 2);
    }
}

UnicodeString TAppSettingsBase::DefaultConfigFileName() {
    std::u16string p = ProgramFileName().u16();
    const auto slash = p.find_last_of(u'/');
    const auto dot = p.find_last_of(u'.');
    if (dot != std::u16string::npos && (slash == std::u16string::npos || dot > slash)) p.erase(dot);
    return UnicodeString(p + u".config");
}

void TAppSettingsBase::Init(const UnicodeString& section, bool fileMustExist) {
    Init(section, fileMustExist, DefaultConfigFileName());
}

void TAppSettingsBase::Init(const UnicodeString& section, bool fileMustExist, const UnicodeString& fileName) {
    {
        Guard g(lock_);
        modified_ = false;
        fileName_ = fileName;
        section_ = section;
        if (fileMustExist) EnsureConfigFileExists(fileName_);
        ini_ = std::make_unique<Inifiles::TMemIniFileEx>(fileName_);
    }
    CheckProperties();
}

void TAppSettingsBase::EnsureConfigFileExists(const UnicodeString& fileName) {
    struct stat st;
    if (::stat(fileName.ToUtf8().c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return;
    throw Exception(ProgramFileName() + " config error:\r\n'" + fileName + "' could not be loaded");
}

bool TAppSettingsBase::TestAllGets(UnicodeString& error, UnicodeString& property) {
    Guard g(lock_);
    for (const TPropInfo* p : Typinfo::GetPropList(ClassType())) {
        try {
            (void)Typinfo::GetPropValue(*this, p);
        } catch (const Exception& e) {
            error = e.Message();
            property = p->Name;
            return false;
        } catch (const std::exception& e) {
            error = UnicodeString(e.what());
            property = p->Name;
            return false;
        }
    }
    return true;
}

void TAppSettingsBase::CheckProperties() {
    UnicodeString error, property;
    if (!TestAllGets(error, property))
        throw Exception("Application Settings has encountered an error in\r\n'" + GetFileName() +
                        "'\r\nwhile processing property '" + property + "':\r\n\r\n" + error);
}

UnicodeString TAppSettingsBase::GetFileName() const {
    Guard g(lock_);
    return fileName_;
}

UnicodeString TAppSettingsBase::GetSection() const {
    Guard g(lock_);
    return section_;
}

bool TAppSettingsBase::GetModified() const {
    Guard g(lock_);
    return modified_;
}

TAppSettingsBase::TSaveErrorHandler TAppSettingsBase::SetSaveErrorHandler(TSaveErrorHandler handler) {
    std::lock_guard<std::mutex> g(g_handlerLock);
    TSaveErrorHandler old = std::move(Handler());
    Handler() = std::move(handler);
    return old;
}

void TAppSettingsBase::Save() {
    Guard g(lock_);
    if (!modified_) return;
    modified_ = false;
    for (;;) {
        UnicodeString text;
        try {
            ini_->UpdateFile();
            return;
        } catch (const Exception& e) {
            text = UnicodeString(kSaveFailed) + "\r\n\r\n" + e.Message();
        } catch (...) {
            text = UnicodeString(kSaveFailed);
        }
        TSaveErrorHandler handler = CurrentHandler();
        if (!handler) {
            ReportSaveFailure(text);
            modified_ = true;
            return;
        }
        if (handler(text) == TSaveErrorAnswer::Ignore) return;
    }
}

// ---- readers ------------------------------------------------------------------

UnicodeString TAppSettingsBase::get_String(const UnicodeString& name) {
    Guard g(lock_);
    return ini_->ReadString(section_, name);
}

int TAppSettingsBase::get_int(const UnicodeString& name) {
    Guard g(lock_);
    return ini_->ReadInteger(section_, name);
}

double TAppSettingsBase::get_float(const UnicodeString& name) {
    Guard g(lock_);
    return ini_->ReadFloat(section_, name);
}

bool TAppSettingsBase::get_bool(const UnicodeString& name) {
    Guard g(lock_);
    return ini_->ReadBool(section_, name);
}

UnicodeString TAppSettingsBase::get_String(const UnicodeString& name, const UnicodeString& def) {
    Guard g(lock_);
    try {
        return ini_->ValueExists(section_, name) ? ini_->ReadString(section_, name) : def;
    } catch (const Exception& e) {
        throw EReadError(fileName_ + " [" + section_ + "]: '" + name + "': " + e.Message());
    }
}

int TAppSettingsBase::get_int(const UnicodeString& name, int def) {
    Guard g(lock_);
    return ini_->ValueExists(section_, name) ? ini_->ReadInteger(section_, name) : def;
}

double TAppSettingsBase::get_float(const UnicodeString& name, double def) {
    Guard g(lock_);
    return ini_->ValueExists(section_, name) ? ini_->ReadFloat(section_, name) : def;
}

bool TAppSettingsBase::get_bool(const UnicodeString& name, bool def) {
    Guard g(lock_);
    return ini_->ValueExists(section_, name) ? ini_->ReadBool(section_, name) : def;
}

// ---- writers ------------------------------------------------------------------

template <class T, class Read, class Write>
void TAppSettingsBase::SetStrict(const UnicodeString& name, const T& value, Read read, Write write) {
    Guard g(lock_);
    if (!ini_->ValueExists(section_, name)) ini_->ThrowNotFound(section_, name);
    bool differs;
    try {
        differs = !(read() == value);
    } catch (const Exception&) {
        differs = true; // an unreadable old value is simply replaced
    }
    if (differs) {
        write();
        modified_ = true;
    }
}

template <class T, class Read, class Write>
void TAppSettingsBase::SetDefaulted(const UnicodeString& name, const T& def, const T& value, Read read, Write write) {
    Guard g(lock_);
    if (value == def) {
        // A value equal to its default is not kept in the file.
        if (ini_->ValueExists(section_, name)) {
            ini_->DeleteKey(section_, name);
            modified_ = true;
        }
        return;
    }
    bool differs = true;
    if (ini_->ValueExists(section_, name)) {
        try {
            differs = !(read() == value);
        } catch (const Exception&) {
        }
    }
    if (differs) {
        write();
        modified_ = true;
    }
}

void TAppSettingsBase::set_String(const UnicodeString& name, const UnicodeString& value) {
    SetStrict(name, value, [&] { return ini_->ReadString(section_, name); },
              [&] { ini_->WriteString(section_, name, value); });
}

void TAppSettingsBase::set_int(const UnicodeString& name, int value) {
    SetStrict(name, value, [&] { return ini_->ReadInteger(section_, name); },
              [&] { ini_->WriteInteger(section_, name, value); });
}

void TAppSettingsBase::set_float(const UnicodeString& name, double value) {
    SetStrict(name, value, [&] { return ini_->ReadFloat(section_, name); },
              [&] { ini_->WriteFloat(section_, name, value); });
}

void TAppSettingsBase::set_bool(const UnicodeString& name, bool value) {
    SetStrict(name, value, [&] { return ini_->ReadBool(section_, name); },
              [&] { ini_->WriteBool(section_, name, value); });
}

void TAppSettingsBase::set_String(const UnicodeString& name, const UnicodeString& def, const UnicodeString& value) {
    SetDefaulted(name, def, value, [&] { return ini_->ReadString(section_, name); },
                 [&] { ini_->WriteString(section_, name, value); });
}

void TAppSettingsBase::set_int(const UnicodeString& name, int def, int value) {
    SetDefaulted(name, def, value, [&] { return ini_->ReadInteger(section_, name); },
                 [&] { ini_->WriteInteger(section_, name, value); });
}

void TAppSettingsBase::set_float(const UnicodeString& name, double def, double value) {
    SetDefaulted(name, def, value, [&] { return ini_->ReadFloat(section_, name); },
                 [&] { ini_->WriteFloat(section_, name, value); });
}

void TAppSettingsBase::set_bool(const UnicodeString& name, bool def, bool value) {
    SetDefaulted(name, def, value, [&] { return ini_->ReadBool(section_, name); },
                 [&] { ini_->WriteBool(section_, name, value); });
}

} // namespace System
