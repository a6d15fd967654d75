#pragma once

#include <QString>
#include <stdexcept>
#include "platform/export.h"

namespace tallyfold {

// An error as the operations report it: a number and a description, like the
// error object of the platform the system was designed for.
class TALLYFOLD_EXPORT Error : public std::runtime_error {
public:
    Error(long number, const QString& description)
        : std::runtime_error(description.toStdString()), number_(number), description_(description) {}

    long number() const { return number_; }
    QString description() const { return description_; }

private:
    long number_;
    QString description_;
};

namespace errc {
constexpr long InvalidCall = 5;  // a call the object cannot take now
constexpr long Overflow = 6;
constexpr long TypeMismatch = 13;
constexpr long FileNotFound = 53;
constexpr long FileIo = 75;
constexpr long ObjectNotSet = 91;
constexpr long InvalidUseOfNull = 94;
constexpr long CannotCreateComponent = 429;
// The recordset's and connection's own misuse, numbered as the data-access layer the host knows numbers them.
constexpr long NoCurrentRecord = 3021;
constexpr long NotSupported = 3251;
constexpr long ItemNotFound = 3265;
constexpr long ObjectClosed = 3704;
constexpr long ObjectOpen = 3705;
constexpr long ConnectionUnusable = 3709;
constexpr long Database = -2147217900;
constexpr long ProviderUnavailable = 3706;
}  // namespace errc

}  // namespace tallyfold
