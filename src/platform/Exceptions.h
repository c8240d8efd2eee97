#pragma once
#include <QString>
#include <QByteArray>
#include <exception>
#include <memory>

// The general exception class: every failure of the system is an exception with a message and the
// class name that log lines print. what() gives the message in UTF-8 for code that only knows std.
class Exception : public std::exception {
public:
    explicit Exception(QString message = {});
    ~Exception() override;
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;

    const QString& Message() const noexcept { return FMessage; }
    void SetMessage(const QString& message);
    virtual QString ClassName() const { return QStringLiteral("Exception"); }
    const char* what() const noexcept override { return FWhat.constData(); }

private:
    QString FMessage;
    QByteArray FWhat;
};

// Declares an exception class of the system under a base, with its own class name.
#define VOCATOR_DECLARE_EXCEPTION(Name, Base)                                   \
    class Name : public Base {                                                  \
    public:                                                                     \
        using Base::Base;                                                       \
        QString ClassName() const override { return QStringLiteral(#Name); }   \
    };

VOCATOR_DECLARE_EXCEPTION(EConvertError, Exception)
VOCATOR_DECLARE_EXCEPTION(EMathError, Exception)

// Class name and message of any exception, for log lines written where it was caught.
struct TExceptionInfo {
    QString ClassName;
    QString Message;
};
TExceptionInfo DescribeException(std::exception_ptr error);

// Turns whatever was thrown into one of ours, so that handlers of the general class see it too:
// standard exceptions keep their type name as class name.
std::unique_ptr<Exception> WrapException(std::exception_ptr error);
