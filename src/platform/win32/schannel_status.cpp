// Short names for SChannel status codes.
#include "platform/win32/schannel_status.hpp"

#include <cstdio>

namespace tolvex::win {

std::string StatusName(SECURITY_STATUS s) {
  switch (s) {
    case SEC_E_ALGORITHM_MISMATCH:
      return "no common cipher";
    case SEC_E_UNSUPPORTED_FUNCTION:
      return "unsupported function";
    case SEC_E_ILLEGAL_MESSAGE:
      return "illegal message";
    case SEC_E_INVALID_TOKEN:
      return "invalid token";
    case SEC_E_DECRYPT_FAILURE:
      return "decrypt failure";
    case SEC_E_MESSAGE_ALTERED:
      return "message altered";
    case SEC_E_INTERNAL_ERROR:
      return "internal error";
    case SEC_E_CERT_UNKNOWN:
      return "certificate unknown";
    case SEC_E_INSUFFICIENT_MEMORY:
      return "out of memory";
    case SEC_E_NO_CREDENTIALS:
      return "no credentials";
    case SEC_E_NO_AUTHENTICATING_AUTHORITY:
      return "no protocol enabled";
    case SEC_E_INVALID_HANDLE:
      return "invalid handle";
    case SEC_E_CONTEXT_EXPIRED:
      return "context expired";
    case SEC_E_INCOMPLETE_MESSAGE:
      return "incomplete message";
    case SEC_E_ENCRYPT_FAILURE:
      return "encrypt failure";
    case SEC_I_INCOMPLETE_CREDENTIALS:
      return "the server asks for a client certificate";
  }
  char buf[40];
  std::snprintf(buf, sizeof buf, "SChannel error 0x%08lX", static_cast<unsigned long>(s));
  return buf;
}

}  // namespace tolvex::win
