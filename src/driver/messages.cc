#include "driver/messages.h"

namespace invoice {

std::string describe_status(const Status& status) {
  // Any other failure is best named by the system itself.
  if (status.kind() == Status::Kind::kOther && !status.system_text().empty()) {
    return status.system_text();
  }
  std::string text(describe_kind(status.kind()));
  if (!status.system_text().empty() && !status.is_ok()) {
    text += " (";
    text += status.system_text();
    text += ")";
  }
  return text;
}

}  // namespace invoice
