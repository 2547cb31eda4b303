#include "driver/status.h"

#include "driver/messages.h"

namespace invoice {

std::string Status::message() const {
  // Any other failure is best named by the system itself.
  if (kind_ == Kind::kOther && !system_text_.empty()) return system_text_;
  std::string text(describe_kind(kind_));
  if (!system_text_.empty() && kind_ != Kind::kOk) {
    text += " (";
    text += system_text_;
    text += ")";
  }
  return text;
}

}  // namespace invoice
