#include "Platform/Linux/Signing/OpenSslError.h"

#include <openssl/err.h>

namespace vorsel::linux_platform {

std::string openSslError(std::string_view what) {
    std::string message(what);
    bool first = true;
    // A runaway queue is not worth a runaway message.
    int kept = 0;
    const char* data = nullptr;
    int flags = 0;
    while (const unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
        if (++kept > 8) continue;
        const char* reason = ERR_reason_error_string(code);
        message += first ? ": " : "; ";
        message += reason ? reason : "error " + std::to_string(ERR_GET_REASON(code));
        // The detail OpenSSL attached, such as why a chain did not verify.
        if ((flags & ERR_TXT_STRING) && data && *data) {
            message += " (";
            message += data;
            message += ")";
        }
        first = false;
    }
    return message;
}

}  // namespace vorsel::linux_platform
