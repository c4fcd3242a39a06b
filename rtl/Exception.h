// The runtime's root exception class and the runtime exceptions the library
// throws with its own texts. Every library exception derives from Exception,
// which carries the message; what() gives it in UTF-8 for foreign catchers.
#pragma once
#include <exception>
#include <string>

#include "rtl/UnicodeString.h"

namespace System::Sysutils {

class Exception : public std::exception {
public:
    explicit Exception(const UnicodeString& msg);
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;
    ~Exception() override;

    const UnicodeString& Message() const { return message_; }
    void SetMessage(const UnicodeString& msg);
    const char* what() const noexcept override { return utf8_.c_str(); }

    // Unqualified class name of the dynamic type, e.g. "EArgumentNull".
    std::string ClassName() const;
    // Qualified name of the dynamic type, e.g. "System::EArgumentNull".
    std::string QualifiedClassName() const;

private:
    UnicodeString message_;
    std::string utf8_;
};

#define NORVANE_RTL_EXCEPTION(Name, Base)                                   \
    class Name : public Base {                                              \
    public:                                                                 \
        explicit Name(const UnicodeString& msg) : Base(msg) {}              \
    }

NORVANE_RTL_EXCEPTION(EInvalidOperation, Exception);
NORVANE_RTL_EXCEPTION(ERangeError, Exception);
NORVANE_RTL_EXCEPTION(EOutOfMemory, Exception);
NORVANE_RTL_EXCEPTION(EOutOfResources, EOutOfMemory);
NORVANE_RTL_EXCEPTION(EInvalidCast, Exception);
NORVANE_RTL_EXCEPTION(EStreamError, Exception);
NORVANE_RTL_EXCEPTION(EReadError, EStreamError);
NORVANE_RTL_EXCEPTION(EInOutError, Exception);
NORVANE_RTL_EXCEPTION(EFileNotFoundException, EInOutError);
NORVANE_RTL_EXCEPTION(EInvalidImage, Exception);
NORVANE_RTL_EXCEPTION(EAssertionFailed, Exception);
NORVANE_RTL_EXCEPTION(EConvertError, Exception);

} // namespace System::Sysutils

namespace Sysutils = System::Sysutils;
using System::Sysutils::Exception;
