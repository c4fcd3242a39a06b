#include "rtl/Exception.h"

#include "rtl/TypeName.h"

namespace System::Sysutils {

Exception::Exception(const UnicodeString& msg) : message_(msg), utf8_(msg.ToUtf8()) {}
Exception::~Exception() = default;

void Exception::SetMessage(const UnicodeString& msg) {
    message_ = msg;
    utf8_ = msg.ToUtf8();
}

std::string Exception::ClassName() const { return ShortTypeName(typeid(*this)); }
std::string Exception::QualifiedClassName() const { return QualifiedTypeName(typeid(*this)); }

} // namespace System::Sysutils
