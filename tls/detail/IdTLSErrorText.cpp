// SPDX-License-Identifier: MIT
#include "idframework/tls/detail/IdTLSErrorText.h"

#include <openssl/err.h>

namespace Id {

std::string TakeTLSErrorText(const std::string& AFallback) {
  std::string Text;
  for (unsigned long Code = ERR_get_error(); Code != 0; Code = ERR_get_error()) {
    const char* Reason = ERR_reason_error_string(Code);
    char Unknown[32];
    if (!Reason) {
      ERR_error_string_n(Code, Unknown, sizeof(Unknown));
      Reason = Unknown;
    }
    // The same reason often comes once per layer that passed the failure up.
    if (Text.find(Reason) != std::string::npos) continue;
    if (!Text.empty()) Text += "; ";
    Text += Reason;
  }
  return Text.empty() ? AFallback : Text;
}

} // namespace Id
