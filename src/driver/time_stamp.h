#ifndef INVOICE_DRIVER_TIME_STAMP_H_
#define INVOICE_DRIVER_TIME_STAMP_H_

#include <optional>
#include <string>
#include <string_view>

#include "driver/platform.h"
#include "driver/status.h"

namespace invoice {

// The time stamp text of a file's last-write time: 14 digits, year (4),
// month, day, hour, minute, second (2 each), in UTC, the fraction of the
// second dropped.
std::string format_time_stamp(FileTime time);

// The text that stands for "no time known": 1601-01-01 00:00:00. Restoring it
// leaves a file's times as they are.
inline constexpr std::string_view kZeroTimeStamp = "16010101000000";

// The time a stamp text stands for, with no fraction; nothing for the zero
// time stamp and for a text that is not 14 digits of a valid date and time.
std::optional<FileTime> parse_time_stamp(std::string_view text);

// The time stamp text of the last-write time of `path`; the zero time stamp
// when the time cannot be read.
std::string read_time_stamp(Platform& platform, const std::string& path);

// Sets the last-access and last-write time of the open `file` to the time
// of `text`. Does nothing, successfully, for the zero time stamp.
Status restore_time_stamp(InvoiceFile& file, std::string_view text);

}  // namespace invoice

#endif  // INVOICE_DRIVER_TIME_STAMP_H_
