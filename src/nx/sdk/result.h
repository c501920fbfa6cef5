// Results of cross-boundary calls. An operation "with a result slot" returns void and takes a
// Result<T>* first; the caller hands over a default (success) Result. Result is plain data with
// a fixed, standard layout: int32_t errorCode, const IString* errorMessage, then the value.
// A pointer value or error message carries one reference for whoever receives the result; the
// Result itself does not release anything.
#pragma once

#include <cstdint>
#include <string>

#include <nx/sdk/i_string.h>

namespace nx::sdk {

enum class ErrorCode: int32_t
{
    noError = 0,
    unauthorized = -1,
    notImplemented = -21,
    networkError = -22,
    otherError = -100,
    internalError = -1000,
    invalidParams = -1001,
};

class Error
{
public:
    Error(ErrorCode errorCode, const IString* errorMessage):
        m_errorCode(errorCode), m_errorMessage(errorMessage)
    {
    }

    bool isOk() const { return m_errorCode == ErrorCode::noError && !m_errorMessage; }
    ErrorCode errorCode() const { return m_errorCode; }
    const IString* errorMessage() const { return m_errorMessage; }

private:
    ErrorCode m_errorCode;
    const IString* m_errorMessage;
};

template<typename Value>
class Result
{
public:
    Result(): m_error(ErrorCode::noError, nullptr), m_value() {}
    Result(Value value): m_error(ErrorCode::noError, nullptr), m_value(std::move(value)) {}
    Result(Error&& error): m_error(std::move(error)), m_value() {}

    bool isOk() const { return m_error.errorCode() == ErrorCode::noError; }
    const Error& error() const { return m_error; }
    const Value& value() const { return m_value; }

private:
    Error m_error;
    Value m_value;
};

template<>
class Result<void>
{
public:
    Result(): m_error(ErrorCode::noError, nullptr) {}
    Result(Error&& error): m_error(std::move(error)) {}

    bool isOk() const { return m_error.errorCode() == ErrorCode::noError; }
    const Error& error() const { return m_error; }

private:
    Error m_error;
};

/**
 * A failed result: the message is wrapped in a new String (one reference, owned by whoever
 * receives the result). Reports a failed check (and still builds the error) for noError or an
 * empty message.
 */
Error error(ErrorCode errorCode, const std::string& errorMessage);

} // namespace nx::sdk
