// The error classes every layer raises. Messages are Windows-1251 byte strings,
// shown to the user by the standard error report (platform/report.h).
#pragma once

#include <exception>
#include <string>

// The general error class: carries only its message.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }
    std::string Message;
};

// "'%s' is not a valid integer value"
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// "List index out of bounds (%d)"
class EListError : public Exception {
public:
    using Exception::Exception;
};

// The runtime's input/output error (file could not be opened, read or written).
class EInOutError : public Exception {
public:
    using Exception::Exception;
};

// A value outside the range of its type.
class ERangeError : public Exception {
public:
    using Exception::Exception;
};

// Texts of the runtime errors above.
std::string ListIndexError(long index);
std::string InOutErrorText(int code);
