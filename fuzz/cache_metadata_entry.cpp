#include <cmath>
#include <string>

#include "core/hub/cache_metadata.hpp"
#include "core/hub/hub_errors.hpp"
#include "fuzz/fuzz_entries.hpp"
#include "fuzz/scratch.hpp"
#include "platform/log/check.hpp"

namespace fuzzentries {

void cacheMetadata(std::span<const std::uint8_t> input) {
  const auto record = scratchFolder() / "metadata" / "model.bin.metadata";
  writeScratchFile(record, input);
  const auto read = noxtal::readDownloadMetadata(record);
  if (!read) return;
  platform::log::requireThat(read->filename == "model.bin", "the record's file name is not the file's");
  if (!std::isfinite(read->timestamp)) return;
  // What the writer makes of a record must read back as that record.
  const std::string text = noxtal::formatDownloadMetadata(read->commitHash, read->etag, read->timestamp);
  writeScratchFile(record, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  const auto again = noxtal::readDownloadMetadata(record);
  platform::log::requireThat(again.has_value(), "a record written from a read record is refused");
  platform::log::requireThat(*again == *read, "a record written from a read record reads back different");
}

}  // namespace fuzzentries
