#ifndef INVOICE_DRIVER_MANIFEST_H_
#define INVOICE_DRIVER_MANIFEST_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace invoice {

// The record of the originals kept in a backup folder: MANIFEST.tsv, one
// line for each invoice a run replaced, appended and flushed before the
// invoice's new text is put in place. A line holds tab-separated fields:
// the invoice's path below DOCUMENT ("/" between names), the name its
// original is kept under below the backup folder (the same form), the
// SHA-256 of the original, the SHA-256 of each text the run put in place in
// order (comma-separated: the upgraded text, then the final text of a
// two-step conversion), the options that decided the conversion, and the
// time. Paths are escaped as log lines escape them, so that no tab or line
// end in a name can split a line.
inline constexpr std::string_view kManifestName = "MANIFEST.tsv";
inline constexpr std::string_view kManifestHeader =
    "# invoice-converter originals\tpath\tkept\toriginal-sha256\ttexts-sha256\toptions\ttime\n";

struct ManifestEntry {
  std::string path;
  std::string kept;
  std::string original;            // lower-case hexadecimal
  std::vector<std::string> texts;  // lower-case hexadecimal, in the order put in place
  std::string options;
  std::string time;
  friend bool operator==(const ManifestEntry&, const ManifestEntry&) = default;
};

// The line for `entry`, its line end included.
std::string format_manifest_line(const ManifestEntry& entry);

// The entries of a manifest's text, in order. Anything that is not a whole
// entry is skipped: the header, and a line that a killed run left torn.
std::vector<ManifestEntry> parse_manifest(std::string_view text);

// `digest` in lower-case hexadecimal.
std::string to_hex(const Sha256& digest);

// `time` as an ISO 8601 UTC time to the second ("2025-12-09T12:34:56Z").
std::string format_utc_time(FileTime time);

}  // namespace invoice

#endif  // INVOICE_DRIVER_MANIFEST_H_
