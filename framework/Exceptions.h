#pragma once
// The error types every layer raises: a general error carrying an English
// message, and the two framework errors the rest of the program relies on.

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const std::string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// Raised by Assign for a source of an unrelated class.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// Raised by indexed access outside a list's bounds.
class EListError : public Exception {
public:
    using Exception::Exception;
};

// printf-style formatting into a std::string, for the system's own message templates.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
