#include "platform/Exceptions.h"
#include <cxxabi.h>
#include <cstdlib>
#include <memory>
#include <typeinfo>

Exception::Exception(QString message) : FMessage(std::move(message)), FWhat(FMessage.toUtf8()) {}

Exception::~Exception() = default;

void Exception::SetMessage(const QString& message)
{
    FMessage = message;
    FWhat = message.toUtf8();
}

namespace {

QString Demangled(const std::type_info& type)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    return QString::fromLatin1(status == 0 && name ? name.get() : type.name());
}

} // namespace

TExceptionInfo DescribeException(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        return {e.ClassName(), e.Message()};
    } catch (const std::exception& e) {
        return {Demangled(typeid(e)), QString::fromLocal8Bit(e.what())};
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        return {type ? Demangled(*type) : QStringLiteral("unknown"), QStringLiteral("Unknown exception")};
    }
}

namespace {

// Keeps the class name of a foreign exception that was turned into one of ours.
class TForeignException : public Exception {
public:
    TForeignException(QString className, QString message) : Exception(std::move(message)), FClassName(std::move(className)) {}
    QString ClassName() const override { return FClassName; }

private:
    QString FClassName;
};

} // namespace

std::unique_ptr<Exception> WrapException(std::exception_ptr error)
{
    const TExceptionInfo info = DescribeException(error);
    return std::make_unique<TForeignException>(info.ClassName, info.Message);
}
