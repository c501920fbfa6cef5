#include <nx/kit/debug.h>
#include <nx/sdk/helpers/string.h>
#include <nx/sdk/result.h>

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX "nx::sdk::error(): "

namespace nx::sdk {

Error error(ErrorCode errorCode, const std::string& errorMessage)
{
    // Misuse is reported, but the error is built as asked: the caller is already failing.
    NX_KIT_ASSERT(errorCode != ErrorCode::noError,
        "Error code must differ from `ErrorCode::noError`");
    NX_KIT_ASSERT(!errorMessage.empty(), "Error message must not be empty");
    return Error(errorCode, new String(errorMessage));
}

} // namespace nx::sdk
