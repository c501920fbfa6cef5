// The log settings of one engine or device agent: its output switch and the print prefix that
// starts each of its log lines. The prefix is read by the owner's own threads (the engine's
// relay, an agent's receive thread) while a server thread may replace it, so it is handed out as
// a copy taken under a mutex. Any thread may call any operation.
#pragma once

#include <exception>
#include <map>
#include <mutex>
#include <string>

#include <nx/sdk/i_string_map.h>
#include <nx/sdk/result.h>

namespace nx::sdk {

class LogUtils
{
public:
    LogUtils(bool enableOutput, std::string printPrefix);

    LogUtils(const LogUtils&) = delete;
    LogUtils& operator=(const LogUtils&) = delete;

    /** When false, the owner's optional log lines are skipped. */
    const bool enableOutput;

    std::string printPrefix() const;
    void setPrintPrefix(std::string printPrefix);

    /**
     * Merges the items of `map` into `outMap` (keys absent from `map` keep their values) and,
     * with output on, logs them under `caption`. A null map or a negative count is logged and
     * answers false, leaving `outMap` unchanged.
     */
    bool convertAndOutputStringMap(
        std::map<std::string, std::string>* outMap,
        const IStringMap* map,
        const std::string& caption,
        int outputIndent = 0) const;

    /**
     * Runs `call`, the body of an operation that the server invokes. No exception may travel
     * back into the server: one that escapes `call` is logged with the function name and, when
     * there is a result slot, stored there as `internalError`.
     */
    template<typename Value, typename Call>
    void guardBoundaryCall(
        const char* functionName, Result<Value>* outResult, Call&& call) const noexcept
    {
        try
        {
            call();
        }
        catch (const std::exception& e)
        {
            reportBoundaryException(functionName, e.what(), outResult);
        }
        catch (...)
        {
            reportBoundaryException(functionName, "unknown exception", outResult);
        }
    }

private:
    template<typename Value>
    void reportBoundaryException(
        const char* functionName, const char* what, Result<Value>* outResult) const noexcept
    {
        try
        {
            logBoundaryException(functionName, what);
            if (outResult)
                *outResult = error(ErrorCode::internalError, std::string("Exception: ") + what);
        }
        catch (...)
        {
            // Out of memory while reporting: nothing more can be done without throwing.
        }
    }

    void logBoundaryException(const char* functionName, const char* what) const;

private:
    mutable std::mutex m_mutex; //< Guards m_printPrefix.
    std::string m_printPrefix;
};

} // namespace nx::sdk
