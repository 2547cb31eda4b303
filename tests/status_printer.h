#ifndef INVOICE_TESTS_STATUS_PRINTER_H_
#define INVOICE_TESTS_STATUS_PRINTER_H_

#include <ostream>

#include "platform/status.h"

namespace invoice {

// Shows a status in a failed assertion of a platform test: the number of its
// kind and the system's own wording. The user's wording of a kind belongs to
// the driver, which the platform's tests leave out of the picture.
inline std::ostream& operator<<(std::ostream& out, const Status& status) {
  out << "status kind " << static_cast<int>(status.kind());
  if (!status.system_text().empty()) out << " (" << status.system_text() << ")";
  return out;
}

}  // namespace invoice

#endif  // INVOICE_TESTS_STATUS_PRINTER_H_
